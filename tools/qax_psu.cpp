// qax-psu: the power-supply redundancy configurations of the firmware, for a
// person: supported types and configurations, the active, targeted and usable
// ones. Talks to the firmware like the daemon does (QAX_IPMI, QAX_ROOT, ...).
// Exit status: 0 done, 1 the description failed, 2 bad usage.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "firmware/redundancy.h"
#include "platform/platform.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr char kUsage[] =
    "usage: qax-psu [-v]\n"
    "Prints the power-supply redundancy configurations that the firmware supports,\n"
    "the active and the targeted one, and which are usable under the power control\n"
    "policy. -v also shows the firmware exchange.\n";

// The readers report every request on standard output; a person asking for
// the description wants only the description unless -v says otherwise.
class QuietStdout {
  public:
    explicit QuietStdout(bool quiet) {
        if (!quiet) return;
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (saved_ < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0) Restore();
        if (null >= 0) close(null);
    }
    ~QuietStdout() { Restore(); }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

  private:
    void Restore() {
        if (saved_ < 0) return;
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
    }
    int saved_ = -1;
};

// A configuration's line in the list, or empty when its description is
// missing (the description stopped before it).
std::string ConfigLine(const PowerSupplyRedundancyInfo &info, int i) {
    if (info.ppszDescriptions == nullptr || info.ppszDescriptions[i] == nullptr) return "";
    const RedundancyConfigRecord &c = info.psConfigs[i];
    char head[64];
    snprintf(head, sizeof head, "  %d: id %u, properties 0x%04X, ", i, (unsigned)c.u8ConfigId,
             (unsigned)c.u16Properties);
    std::string line = head;
    line += info.ppszDescriptions[i];
    if (i == info.i32ActiveConfig) line += " [active]";
    if (i == info.i32TargetConfig) line += " [target]";
    if (info.pu8Usable != nullptr && info.pu8Usable[i] != 0) line += " [usable]";
    return line;
}

std::string Named(const PowerSupplyRedundancyInfo &info, int i) {
    if (i < 0) return "none";
    std::string text = std::to_string(i);
    if (info.ppszDescriptions != nullptr && i < info.supportedConfigs &&
        info.ppszDescriptions[i] != nullptr)
        text += std::string(" (") + info.ppszDescriptions[i] + ")";
    return text;
}

void Print(const PowerSupplyRedundancyInfo &info) {
    printf("Power control policy: 0x%02X\n", (unsigned)info.u8PowerControlPolicy);
    printf("Redundancy target: %u\n", (unsigned)info.u8RedundancyTarget);
    printf("Supported power-supply types: %d\n", (int)info.supportedPSUTypes);
    for (int i = 0; info.psPSUTypes != nullptr && i < info.supportedPSUTypes; i++)
        printf("  %d: %u W\n", i, (unsigned)info.psPSUTypes[i].u16RatedWatts);
    printf("Supported configurations: %d\n", (int)info.supportedConfigs);
    for (int i = 0; info.psConfigs != nullptr && i < info.supportedConfigs; i++) {
        std::string line = ConfigLine(info, i);
        if (!line.empty()) puts(line.c_str());
    }
    printf("Active configuration: %s\n", Named(info, info.i32ActiveConfig).c_str());
    printf("Targeted configuration: %s\n", Named(info, info.i32TargetConfig).c_str());
    printf("Usable configurations: %d\n", (int)info.i32UsableConfigs);
}

}  // namespace

int main(int argc, char **argv) {
    bool verbose = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-v") == 0) {
            verbose = true;
        } else if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return kExitOk;
        } else {
            fputs(kUsage, stderr);
            return kExitUsage;
        }
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    PowerSupplyRedundancyInfo info;
    unsigned int status;
    {
        QuietStdout quiet(!verbose);
        status = DescribePowerSupplyRedundancy(&info);
    }
    // A description that only lacks an active configuration is complete.
    bool complete = info.psConfigs != nullptr && info.supportedConfigs > 0 &&
                    info.ppszDescriptions != nullptr &&
                    info.ppszDescriptions[info.supportedConfigs - 1] != nullptr;
    if (status == 0 || complete) Print(info);
    if (status != 0) fprintf(stderr, "qax-psu: %s (status %u)\n", info.szError, status);
    FreePowerSupplyRedundancyInfo(&info);
    aim_config_close();
    return status == 0 ? kExitOk : kExitFailed;
}
