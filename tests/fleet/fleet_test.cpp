// A fleet on loopback: 20 daemons on the emulator (60x clock, their own seeds
// and scenarios), 20 exporters and one real Prometheus. Prometheus's sum of
// the fleet's power must equal the sum of what the daemons published. The
// daemons are frozen (SIGSTOP) before the comparison, so that their files hold
// still while Prometheus scrapes them once more.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <regex>
#include <thread>

#include "export/export_files.h"
#include "test_root.h"

namespace {

constexpr int kFleet = 20;
constexpr int kRunSeconds = 20;

using Clock = std::chrono::steady_clock;

// Prometheus's answer to an instant query with one series: its value, or -1.
double Scalar(int port, const std::string &promql) {
    std::string query, body;
    for (unsigned char c : promql) {
        char hex[4];
        snprintf(hex, sizeof hex, "%%%02X", c);
        query += isalnum(c) ? std::string(1, static_cast<char>(c)) : hex;
    }
    std::smatch m;
    const std::regex value("\\[\\{\"metric\":\\{[^}]*\\},\"value\":\\[[0-9.]+,\"([^\"]+)\"\\]\\}\\]");
    if (qaxtest::Http(port, "GET", "/api/v1/query?query=" + query, &body) != 200 || !std::regex_search(body, m, value))
        return -1;
    return std::stod(m[1]);
}

// A process stopped (SIGTERM, after a SIGCONT) when it goes out of scope.
struct Running {
    qaxtest::Process p;
    ~Running() {
        if (p.pid <= 0) return;
        kill(p.pid, SIGCONT);
        kill(p.pid, SIGTERM);
        p.Wait(20000);
    }
};
// A controller: a daemon and its exporter in their own root.
struct Member : qaxtest::Site {
    Member() : Site("x60") {}
    Running daemon, exporter;
};

TEST(Fleet, PrometheusSeesTheFleetsTotal) {
    const char *binary = "/usr/bin/prometheus";
    if (access(binary, X_OK) != 0)
        GTEST_SKIP() << "prometheus not installed (Debian package prometheus; scripts/setup)";
    std::vector<std::unique_ptr<Member>> fleet;
    std::string targets;
    for (int i = 0; i < kFleet; i++) {
        Member &m = *fleet.emplace_back(std::make_unique<Member>());
        m.env["QAX_CLOCK_START"] = std::to_string(time(nullptr));
        m.env["QAX_SIM_SEED"] = std::to_string(i + 1);
        std::ofstream(m.At("scenario.scn"))
            << "base_watts " << 250 + 15 * i << "\nswing_watts " << 20 + i << "\nsupplies " << 1 + i % 3 << "\n";
        const std::string port = std::to_string(qaxtest::FreePort());
        m.daemon.p = m.Start({"qax"});
        m.exporter.p = m.Start({QAX_TOOLS_DIR "/qax-export", "--listen", port}, "exporter.out");
        ASSERT_GT(m.daemon.p.pid, 0);
        ASSERT_GT(m.exporter.p.pid, 0);
        targets += (i ? ", " : "") + std::string("{targets: ['127.0.0.1:") + port + "'], labels: {controller: c" +
                   std::to_string(i) + "}}";
    }
    const int promPort = qaxtest::FreePort();
    qaxtest::TestRoot root;  // Prometheus's files
    std::ofstream(root.Path() + "/prometheus.yml")
        << "global: {scrape_interval: 1s, scrape_timeout: 1s}\n"
        << "scrape_configs:\n  - job_name: qax\n    static_configs: [" << targets << "]\n";
    Running prometheus{qaxtest::Start(
        {binary, "--config.file=" + root.Path() + "/prometheus.yml", "--storage.tsdb.path=" + root.Path() + "/tsdb",
         "--web.listen-address=127.0.0.1:" + std::to_string(promPort), "--log.level=error"},
        {}, root.Path() + "/prometheus.out")};
    ASSERT_GT(prometheus.p.pid, 0);

    // After 20 simulated minutes, freeze the daemons, then wait for a
    // successful scrape of every target after that.
    const auto started = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kRunSeconds));
    for (auto &m : fleet) kill(m->daemon.p.pid, SIGSTOP);
    const double frozen = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    // timestamp() of a selector is its scrape's time; of an expression, the query's.
    const std::string fresh =
        "count(timestamp(up{job=\"qax\"}) > " + std::to_string(frozen + 0.2) + " and up{job=\"qax\"} == 1)";
    while (Scalar(promPort, fresh) != kFleet && Clock::now() - started < std::chrono::seconds(150))
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(Scalar(promPort, fresh), kFleet);

    long long totalAc = 0;
    for (auto &m : fleet) totalAc += m->AimInt("QAX_total_ac_power_in_use_Avg");
    EXPECT_DOUBLE_EQ(Scalar(promPort, "sum(qax_power_watts{domain=\"ac\",stat=\"avg\"})"), totalAc);

    // Figures for bench/: the exporters' cost as Prometheus sees it.
    printf("scrape duration over %d targets: avg %.2f ms, max %.2f ms; samples per scrape %.0f\n", kFleet,
           1000 * Scalar(promPort, "avg(scrape_duration_seconds{job=\"qax\"})"),
           1000 * Scalar(promPort, "max(scrape_duration_seconds{job=\"qax\"})"),
           Scalar(promPort, "avg(scrape_samples_scraped{job=\"qax\"})"));
}

}  // namespace
