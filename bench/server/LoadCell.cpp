#include "LoadCell.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <thread>

namespace brimo::bench {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

struct Tally {
    std::vector<double> okMs;
    std::vector<double> busyMs;
    std::map<int, std::size_t> otherStatuses;
    double maxAnswerMs = 0;
    std::size_t timeouts = 0;
    std::size_t transportErrors = 0;
};

json percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return nullptr;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

Clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void runClient(const LoadCell& cell, unsigned c, const std::string& token,
               const std::atomic<bool>& go, Clock::time_point end, Tally& tally) {
    httplib::Client client("127.0.0.1", cell.ports[c % cell.ports.size()]);
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);  // as the application's client (libcurl) does
    const auto timeout = std::chrono::duration<double>(cell.timeoutSeconds);
    client.set_connection_timeout(std::chrono::duration_cast<std::chrono::microseconds>(timeout));
    client.set_read_timeout(std::chrono::duration_cast<std::chrono::microseconds>(timeout));
    client.set_write_timeout(std::chrono::duration_cast<std::chrono::microseconds>(timeout));
    const std::string login = json{{"email", "bench" + std::to_string(c) + "@example.com"},
                                   {"password", "bench password " + std::to_string(c)}}
                                  .dump();
    const httplib::Headers auth{{"Authorization", "Bearer " + token}};
    while (!go) {
        std::this_thread::yield();
    }
    while (Clock::now() < end) {
        const auto t0 = Clock::now();
        auto res = cell.endpoint == "login"
                       ? client.Post("/api/auth/login", login, "application/json")
                       : client.Get("/api/user/me", auth);
        const auto t1 = Clock::now();
        const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        if (!res) {
            // httplib reports a read time-out as a read error: tell them apart by the wait.
            if (ms >= 0.95 * cell.timeoutSeconds * 1000) {
                ++tally.timeouts;
            } else {
                ++tally.transportErrors;
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        tally.maxAnswerMs = std::max(tally.maxAnswerMs, ms);
        if (res->status == 200) {
            tally.okMs.push_back(ms);
        } else if (res->status == 503) {
            tally.busyMs.push_back(ms);
            // Seconds as the service sends them; anything else counts as one.
            const std::string wait = res->get_header_value("Retry-After");
            const double given = std::strtod(wait.c_str(), nullptr);
            const double seconds = given > 0 ? given : 1.0;
            std::this_thread::sleep_until(std::min(end, Clock::now() + toDuration(seconds)));
        } else {
            ++tally.otherStatuses[res->status];
        }
    }
}

}  // namespace

json runLoadCell(const LoadCell& cell, const std::vector<std::string>& tokens) {
    std::vector<Tally> perClient(cell.clients);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end = start + toDuration(cell.seconds);
    for (unsigned c = 0; c < cell.clients; ++c) {
        threads.emplace_back(runClient, std::cref(cell), c, std::cref(tokens.at(c)), std::cref(go),
                             end, std::ref(perClient[c]));
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    // The last requests may end well after `seconds` when the service is slow: rates are per
    // second of the whole cell.
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    Tally total;
    for (auto& t : perClient) {
        total.okMs.insert(total.okMs.end(), t.okMs.begin(), t.okMs.end());
        total.busyMs.insert(total.busyMs.end(), t.busyMs.begin(), t.busyMs.end());
        for (const auto& [status, count] : t.otherStatuses) {
            total.otherStatuses[status] += count;
        }
        total.maxAnswerMs = std::max(total.maxAnswerMs, t.maxAnswerMs);
        total.timeouts += t.timeouts;
        total.transportErrors += t.transportErrors;
    }
    std::size_t others = 0;
    json otherStatuses = json::object();
    for (const auto& [status, count] : total.otherStatuses) {
        others += count;
        otherStatuses[std::to_string(status)] = count;
    }
    const std::size_t requests =
        total.okMs.size() + total.busyMs.size() + others + total.timeouts + total.transportErrors;
    const auto share = [&](std::size_t n) {
        return requests == 0 ? 0.0 : static_cast<double>(n) / static_cast<double>(requests);
    };
    return {{"endpoint", cell.endpoint},
            {"clients", cell.clients},
            {"instances", cell.ports.size()},
            {"seconds", elapsed},
            {"requests", requests},
            {"requestsPerSecond", static_cast<double>(requests) / elapsed},
            {"ok", total.okMs.size()},
            {"okPerSecond", static_cast<double>(total.okMs.size()) / elapsed},
            {"okP50Ms", percentile(total.okMs, 0.50)},
            {"okP99Ms", percentile(total.okMs, 0.99)},
            {"busy503", total.busyMs.size()},
            {"busy503Share", share(total.busyMs.size())},
            {"busy503P50Ms", percentile(total.busyMs, 0.50)},
            {"busy503P99Ms", percentile(total.busyMs, 0.99)},
            {"otherStatuses", otherStatuses},
            {"maxAnswerMs", total.maxAnswerMs},
            {"timeouts", total.timeouts},
            {"timeoutShare", share(total.timeouts)},
            {"transportErrors", total.transportErrors}};
}

}  // namespace brimo::bench
