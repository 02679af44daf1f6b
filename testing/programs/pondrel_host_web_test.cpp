// pondrel-host's page in a real browser: headless Chromium loads it against
// eight simulated meters (the last of them silent), and what its DOM shows
// is what the API answers; the chart page draws each canvas with the points
// its query returned; /metrics is served on the same port. Screenshots of
// both pages are kept in the build folder.
#include <signal.h>

#include <algorithm>
#include <thread>

#include "host_program_fixture.h"
#include "loopback_listener.h"

using namespace host_programs;

namespace {

constexpr int kMeters = 8;

std::string free_port() { return std::to_string(testing_support::free_loopback_port()); }

std::string http_get(const std::string& url) {
    const auto got = run_program({"curl", "-sS", "--max-time", "5", url}, 10s);
    std::string text;
    for (const std::string& line : got.lines) text += line + "\n";
    return text;
}

Json::Value parsed(const std::string& text) {
    Json::Value value;
    std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    std::string errors;
    reader->parse(text.data(), text.data() + text.size(), &value, &errors);
    return value;
}

// The values of attribute `name` in `html`, in document order.
std::vector<std::string> attributes(const std::string& html, const std::string& name) {
    std::vector<std::string> found;
    const std::string start = " " + name + "=\"";
    for (auto at = html.find(start); at != std::string::npos; at = html.find(start, at + 1)) {
        const auto from = at + start.size();
        found.push_back(html.substr(from, html.find('"', from) - from));
    }
    return found;
}

// The part of `html` from the card of meter `name` to the next card.
std::string card_of(const std::string& html, const std::string& name) {
    const auto from = html.find("data-meter=\"" + name + "\"");
    if (from == std::string::npos) return "";
    return html.substr(from, html.find("data-meter=", from + 1) - from);
}

// The opening tag of the card of meter `name`.
std::string card_tag_of(const std::string& html, const std::string& name) {
    const auto at = html.find("data-meter=\"" + name + "\"");
    if (at == std::string::npos) return "";
    const auto open = html.rfind("<section", at);
    return html.substr(open, html.find('>', at) - open + 1);
}

class WebTest : public HostProgramTest {
protected:
    // One line with a meter "mN" for each slave, polled every `interval` seconds.
    std::string site(const std::string& path, const std::string& sections, const std::string& interval) {
        std::string text = "[history]\nfile = \"" + history_ + "\"\n" + sections + "\n[[line]]\nname = \"bus\"\n" +
                           "device = \"" + path + "\"\ntimeout_ms = 200\n\n";
        for (int slave = 1; slave <= kMeters; ++slave) {
            const std::string n = std::to_string(slave);
            text += "[[meter]]\nname = \"m" + n + "\"\nline = \"bus\"\nslave = " + n + "\ndata_id = " + n +
                    "\ninterval = " + interval + "\n" + (slave == 1 ? "circuits = [\"Kitchen & <Oven>\"]\n" : "") + "\n";
        }
        return file("site.toml", text);
    }
    // Chromium's DOM of `url` once its scripts ran (the page sets data-ready).
    std::string dom_of(const std::string& url) {
        const auto got = run_program({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                                      "--user-data-dir=" + dir_ + "/chromium", "--virtual-time-budget=10000",
                                      "--dump-dom", url},
                                     60s);
        std::string html;
        for (const std::string& line : got.lines) html += line + "\n";
        EXPECT_NE(html.find("data-ready=\"1\""), std::string::npos) << got.errors;
        return html;
    }
    void screenshot(const std::string& url, const std::string& name) {
        const std::string path = std::string(PONDREL_SCREENSHOTS) + "/" + name;
        std::remove(path.c_str());
        run_program({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars",
                     "--user-data-dir=" + dir_ + "/chromium", "--window-size=1280,900", "--virtual-time-budget=10000",
                     "--screenshot=" + path, url},
                    60s);
        EXPECT_GT(bytes_of(path).size(), 10000u) << path;
    }
};

}  // namespace

TEST_F(WebTest, TheBrowserShowsWhatTheApiSaysAndDrawsTheHistory) {
    if (run_program({"sh", "-c", "command -v chromium"}, 10s).code != 0) GTEST_SKIP() << "no chromium";
    Meter meters({"--slave", "1-" + std::to_string(kMeters)});
    // A history first: a few rounds of every meter.
    const auto filled = run_program({kHost, "--config", site(meters.path, "", "0"), "--rounds", "12"}, 60s);
    ASSERT_EQ(filled.code, 0) << filled.errors;

    // Then the page, with one round a meter (the next would be an hour away),
    // and the last meter gone silent; /metrics on the same port.
    Meter silent_last({"--slave", "1-" + std::to_string(kMeters), "--fault", std::to_string(kMeters) + "=silent"});
    const std::string port = free_port();
    const std::string base = "http://127.0.0.1:" + port;
    ChildProcess host({kHost, "--config", site(silent_last.path,
                                                   "[web]\nlisten = \":" + port + "\"\n[prometheus]\nlisten = \"127.0.0.1:" +
                                                       port + "\"\n[[group]]\nname = \"Flat <2>\"\n" +
                                                       "circuits = [\"m1:1-6\", \"m2:3\"]\n[[tariff]]\nname = \"home\"\n" +
                                                       "currency = \"EUR\"\nprice_per_kWh = 0.3\n",
                                                   "3600")});
    Json::Value api;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        api = parsed(http_get(base + "/api/v1/meters"));
        int settled = 0;
        for (const auto& meter : api["meters"]) settled += meter["status"].asString() != "waiting";
        if (settled == kMeters) break;
        std::this_thread::sleep_for(100ms);
    }
    ASSERT_EQ(api["meters"].size(), static_cast<unsigned>(kMeters)) << host.error_text();
    EXPECT_NE(http_get(base + "/metrics").find("pondrel_up{data_id=\"1\",meter=\"m1\"} 1"), std::string::npos);

    const std::string html = dom_of(base + "/");
    EXPECT_NE(html.find(std::to_string(kMeters - 1) + " of " + std::to_string(kMeters) + " meters answering; last round "),
              std::string::npos)
        << html.substr(0, 2000);
    for (const auto& meter : api["meters"]) {
        const std::string name = meter["name"].asString();
        SCOPED_TRACE(name);
        const std::string card = card_of(html, name);
        ASSERT_FALSE(card.empty()) << html.substr(0, 2000);
        EXPECT_NE(card.find(">" + name + "</a>"), std::string::npos);
        EXPECT_NE(card.find("line bus"), std::string::npos);
        EXPECT_NE(card.find("slave " + meter["slave"].asString()), std::string::npos);
        EXPECT_EQ(attributes(card, "data-circuit").size(), 18u);
        // Circuits by number, and by name where the site names them (as text, never markup).
        EXPECT_NE(card.find(">2</td>"), std::string::npos);
        EXPECT_EQ(card.find("1 Kitchen &amp; &lt;Oven&gt;</td>") != std::string::npos, name == "m1") << card;
        // Voltage, then each circuit's power, current and energy, as the API gave them.
        const std::vector<std::string> values = attributes(card, "data-value");
        ASSERT_EQ(values.size(), 1u + 3 * 18);
        if (name == "m" + std::to_string(kMeters)) {
            EXPECT_EQ(meter["status"].asString(), "failing");
            EXPECT_NE(card.find("failing (timeout)"), std::string::npos);
            EXPECT_NE(card.find("no round yet"), std::string::npos);
            // Greyed, with the reason on top.
            EXPECT_NE(card_tag_of(html, name).find("class=\"card down\""), std::string::npos) << card_tag_of(html, name);
            EXPECT_NE(card.find("class=\"problem\">failing (timeout); no round yet<"), std::string::npos);
            EXPECT_EQ(std::count(values.begin(), values.end(), "null"), 1 + 3 * 18);
            continue;
        }
        ASSERT_EQ(meter["rounds"].asInt(), 1);
        EXPECT_NE(card.find("status ok"), std::string::npos);
        EXPECT_EQ(card_tag_of(html, name).find("down"), std::string::npos) << card_tag_of(html, name);
        EXPECT_EQ(std::stod(values[0]), meter["voltage_V"].asDouble());
        char voltage[32];
        std::snprintf(voltage, sizeof voltage, ">%.1f V<", meter["voltage_V"].asDouble());
        EXPECT_NE(card.find(voltage), std::string::npos) << voltage;
        for (int n = 0; n < 18; ++n) {
            EXPECT_EQ(std::stod(values[1 + 3 * n]), meter["power_W"][n].asDouble()) << n;
            EXPECT_EQ(std::stod(values[2 + 3 * n]), meter["current_A"][n].asDouble()) << n;
            EXPECT_EQ(std::stod(values[3 + 3 * n]), meter["energy_kWh"][n].asDouble()) << n;
        }
    }
    screenshot(base + "/", "page.png");

    // The chart page: each canvas drawn with as many points as its query gave.
    const std::string charts = dom_of(base + "/meter/m3");
    EXPECT_EQ(charts.find("class=\"notice\">"), std::string::npos) << "a notice is shown";
    const std::vector<std::string> sources = attributes(charts, "data-source");
    const std::vector<std::string> points = attributes(charts, "data-points");
    ASSERT_EQ(sources.size(), 3u) << charts;
    ASSERT_EQ(points.size(), 3u);
    std::vector<int> rounds;
    for (std::size_t n = 0; n < sources.size(); ++n) {
        SCOPED_TRACE(sources[n]);
        std::string source = sources[n];
        for (std::string::size_type at; (at = source.find("&amp;")) != std::string::npos;) source.replace(at, 5, "&");
        const Json::Value history = parsed(http_get(base + source));
        EXPECT_EQ(std::stoul(points[n]), history["points"].size());
        EXPECT_GE(history["points"].size(), 1u);
        rounds.push_back(0);
        for (const auto& point : history["points"]) rounds.back() += point["rounds"].asInt();
    }
    // Every stored round of the meter is in its charts: 12, and the page's run's first.
    EXPECT_EQ(rounds, (std::vector<int>{13, 13, 13}));
    screenshot(base + "/meter/m3", "meter-page.png");

    // Over 7 days the energy bars come from the hourly statistics.
    const std::string week = dom_of(base + "/meter/m3?range=604800");
    const std::vector<std::string> week_sources = attributes(week, "data-source");
    ASSERT_EQ(week_sources.size(), 3u) << week.substr(0, 2000);
    EXPECT_EQ(week_sources[2].rfind("/api/v1/report?period=hour&amp;meter=m3&amp;", 0), 0u) << week_sources[2];
    EXPECT_GE(std::stoi(attributes(week, "data-points").at(2)), 1);

    // The report page: a row per meter and the group, as the API gave them.
    const std::string report = dom_of(base + "/report");
    const std::vector<std::string> shown = attributes(report, "data-rows");
    ASSERT_EQ(shown.size(), 1u) << report.substr(0, 2000);
    EXPECT_EQ(shown[0], std::to_string(kMeters + 1));
    EXPECT_NE(report.find("<td>Group Flat &lt;2&gt;</td>"), std::string::npos) << report.substr(0, 3000);
    std::string source = attributes(report, "data-source").at(0);
    for (std::string::size_type at; (at = source.find("&amp;")) != std::string::npos;) source.replace(at, 5, "&");
    const Json::Value rows = parsed(http_get(base + source));
    ASSERT_EQ(rows.size(), static_cast<unsigned>(kMeters + 1));
    char total[32];
    double m1 = 0;
    for (const auto& kwh : rows[0]["energy_kWh"]) m1 += kwh.asDouble();
    std::snprintf(total, sizeof total, "<td>%.3f</td>", m1);
    EXPECT_NE(report.find("<td>m1</td>" + std::string(total)), std::string::npos) << total;
    EXPECT_NE(report.find(" EUR</td>"), std::string::npos);
    screenshot(base + "/report", "report-page.png");

    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(10s), 0) << host.error_text();
}
