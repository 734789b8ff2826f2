// A fleet on loopback: 20 daemons on the emulator (60x clock, their own
// seeds and scenarios, some blades), 20 exporters and one real Prometheus.
// What Prometheus answers must equal what the daemons published. The daemons are
// frozen (SIGSTOP) before the comparison, so that their files hold still
// while Prometheus scrapes them once more.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <thread>

#include "export/export_files.h"
#include "process.h"

namespace {

constexpr int kFleet = 20;
constexpr int kRunSeconds = 20;  // 20 simulated minutes: 1-hour windows with data

using Clock = std::chrono::steady_clock;

std::string Encode(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", c);
        out += isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    return out;
}

// Prometheus's answer to an instant query with one series: its value, or -1.
double Scalar(int port, const std::string &promql) {
    std::string body;
    std::smatch m;
    const std::regex value("\\[\\{\"metric\":\\{[^}]*\\},\"value\":\\[[0-9.]+,\"([^\"]+)\"\\]\\}\\]");
    if (qaxtest::Http(port, "GET", "/api/v1/query?query=" + Encode(promql), &body) != 200 ||
        !std::regex_search(body, m, value))
        return -1;
    return std::stod(m[1]);
}

struct Member {
    std::string root, name;
    bool blade;
    int port;
    qaxtest::Process daemon, exporter;
};

class Fleet : public ::testing::Test {
  protected:
    void TearDown() override {
        for (Member &m : fleet_) {
            kill(m.daemon.pid, SIGCONT);
            kill(m.daemon.pid, SIGTERM);
            kill(m.exporter.pid, SIGTERM);
        }
        if (prometheus_.pid > 0) kill(prometheus_.pid, SIGTERM);
        for (Member &m : fleet_) {
            m.daemon.Wait(10000);
            m.exporter.Wait(10000);
        }
        if (prometheus_.pid > 0) prometheus_.Wait(20000);
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }

    std::string dir_;
    std::vector<Member> fleet_;
    qaxtest::Process prometheus_;
};

TEST_F(Fleet, PrometheusSeesWhatTheDaemonsWrote) {
    const char *binary = "/usr/bin/prometheus";
    if (access(binary, X_OK) != 0)
        GTEST_SKIP() << "prometheus not installed (Debian package prometheus; scripts/setup)";
    char tmpl[] = "/tmp/qax-fleet-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    const std::string start = std::to_string(time(nullptr));

    std::string targets;
    for (int i = 0; i < kFleet; i++) {
        Member m;
        m.name = "c" + std::to_string(i);
        m.root = dir_ + "/" + m.name;
        m.blade = i % 5 == 4;
        m.port = qaxtest::FreePort();
        std::filesystem::create_directories(m.root);
        std::ofstream(m.root + "/scenario.scn")
            << "base_watts " << 250 + 15 * i << "\nswing_watts " << 20 + i << "\nsupplies " << 1 + i % 3 << "\n";
        std::map<std::string, std::string> env = {{"QAX_ROOT", m.root},
                                                  {"QAX_IPMI", "sim"},
                                                  {"QAX_CLOCK", "x60"},
                                                  {"QAX_CLOCK_START", start},
                                                  {"QAX_SIM_SEED", std::to_string(i + 1)},
                                                  {"QAX_SIM_SCENARIO", m.root + "/scenario.scn"},
                                                  {"ZOQ_FAMILY", m.blade ? "blade" : ""},
                                                  {"TZ", "UTC"}};
        m.daemon = qaxtest::Start({QAX_BINARY}, env, m.root + "/daemon.out");
        m.exporter = qaxtest::Start({std::string(QAX_TOOLS_DIR) + "/qax-export", "--listen", std::to_string(m.port)},
                                    env, m.root + "/exporter.out");
        ASSERT_GT(m.daemon.pid, 0);
        ASSERT_GT(m.exporter.pid, 0);
        targets += (targets.empty() ? "" : ", ") + std::string("{targets: ['127.0.0.1:") + std::to_string(m.port) +
                   "'], labels: {controller: " + m.name + "}}";
        fleet_.push_back(std::move(m));
    }
    const int promPort = qaxtest::FreePort();
    std::ofstream(dir_ + "/prometheus.yml")
        << "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
        << "scrape_configs:\n  - job_name: qax\n    static_configs: [" << targets << "]\n";
    prometheus_ =
        qaxtest::Start({binary, "--config.file=" + dir_ + "/prometheus.yml", "--storage.tsdb.path=" + dir_ + "/tsdb",
                        "--web.listen-address=127.0.0.1:" + std::to_string(promPort), "--log.level=error"},
                       {}, dir_ + "/prometheus.out");
    ASSERT_GT(prometheus_.pid, 0);

    // Every target up (the first scrape comes a few seconds after start).
    const auto started = Clock::now();
    double up = 0;
    while (Clock::now() - started < std::chrono::seconds(90)) {
        up = Scalar(promPort, "count(up{job=\"qax\"} == 1)");
        if (up == kFleet && Clock::now() - started >= std::chrono::seconds(kRunSeconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ASSERT_EQ(up, kFleet);

    // Freeze the daemons, then wait for a scrape of every target after that.
    for (Member &m : fleet_) kill(m.daemon.pid, SIGSTOP);
    const double frozen = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string fresh = "count(timestamp(up{job=\"qax\"}) > " + std::to_string(frozen + 0.2) + ")";
    while (Scalar(promPort, fresh) != kFleet && Clock::now() - started < std::chrono::seconds(150))
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(Scalar(promPort, fresh), kFleet);

    // The daemons' own figures through qax-aim; every 1-hour window with data
    // (a blade has no AC figures).
    double totalAc = 0;
    int windowSeries = 0;
    for (Member &m : fleet_) {
        std::string out;
        ASSERT_EQ(qaxtest::Run({std::string(QAX_TOOLS_DIR) + "/qax-aim", "get", "QAX_total_ac_power_in_use_Avg"},
                               {{"QAX_ROOT", m.root}}, m.root + "/aim.out", &out),
                  0);
        if (!m.blade) totalAc += std::stod(out);
        windowSeries += m.blade ? 3 : 6;
    }
    EXPECT_DOUBLE_EQ(Scalar(promPort, "sum(qax_power_watts{domain=\"ac\",stat=\"avg\"})"), totalAc);
    EXPECT_EQ(Scalar(promPort, "count(qax_window_power_watts{window=\"1h\"})"), windowSeries);

    // Figures for bench/: the exporters' cost as Prometheus sees it.
    printf("scrape duration over %d targets: avg %.2f ms, max %.2f ms; samples per scrape %.0f\n", kFleet,
           1000 * Scalar(promPort, "avg(scrape_duration_seconds{job=\"qax\"})"),
           1000 * Scalar(promPort, "max(scrape_duration_seconds{job=\"qax\"})"),
           Scalar(promPort, "avg(scrape_samples_scraped{job=\"qax\"})"));
}

}  // namespace
