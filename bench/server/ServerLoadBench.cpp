// Load on the account service over loopback: logins and user/me, on SQLite and on PostgreSQL,
// with one instance and (PostgreSQL) two, at 1, 8, 64 and 256 concurrent keep-alive clients;
// the argon2id cost measured on its own. Starts the real executables (and, for PostgreSQL, a
// private cluster) and prints JSON.
//
//   bench_server [--seconds S] [--clients 1,8,64,256] [--stores sqlite,postgresql]
//                [--endpoints user/me,login] [--server PATH] [--threads N] [--before PATH]
//                [--timeout S] [--note TEXT]
// --server measures another build of the service; --threads sets its worker threads (default:
// the service's own default). --before measures an older build too, first, in the same run
// (a before-and-after): the thread-per-connection service, which has neither an overload answer
// nor support for a second instance, so only one instance of it is measured. A request without
// an answer in --timeout seconds (default 30, the application's client's) is a time-out.
#include <httplib.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "LoadCell.h"
#include "ServiceProcess.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using brimo::bench::LoadCell;
using brimo::bench::ServiceProcess;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The service's production cost, as its default configuration sets it.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimitKiB = 65536;
// The service admits as many logins as its hashers can work off in this (queueSeconds).
constexpr double kQueueSeconds = 2.0;
// Longest wait for a service to finish what a cell left queued.
constexpr double kDrainSeconds = 120;

constexpr const char* kSqliteTwoInstances =
    "not supported: SQLite is for one process (server/README.md, \"Several instances\"); "
    "two instances need PostgreSQL";
constexpr const char* kBeforeTwoInstances =
    "not supported by this build: its rate limits and reset mails live in the process";
constexpr const char* kBeforeOverload =
    "not supported by this build: no overload answer; logins queue for a worker thread and "
    "the hashers, so overload shows as long waits and time-outs";

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int runCommand(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        return -1;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double hashOnceMs() {
    std::array<char, crypto_pwhash_STRBYTES> out{};
    const std::string password = "a benchmark password";
    const auto t0 = Clock::now();
    if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), kOpsLimit,
                              kMemLimitKiB * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("argon2id failed");
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// A hash's time alone, and with one hash on every core at once, as the service's hashers run
// under load (they share the memory bus, so a hash takes longer then).
json argonCost() {
    std::vector<double> aloneMs;
    for (int i = 0; i < 5; ++i) {
        aloneMs.push_back(hashOnceMs());
    }
    const unsigned cores = std::thread::hardware_concurrency();
    std::vector<std::vector<double>> perCore(cores);
    std::vector<std::thread> threads;
    for (unsigned c = 0; c < cores; ++c) {
        threads.emplace_back([&times = perCore[c]] {
            for (int i = 0; i < 5; ++i) {
                times.push_back(hashOnceMs());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::vector<double> busyMs;
    for (const auto& times : perCore) {
        busyMs.insert(busyMs.end(), times.begin(), times.end());
    }
    return {{"algorithm", "argon2id"},
            {"opsLimit", kOpsLimit},
            {"memLimitKiB", kMemLimitKiB},
            {"hashMsMedian", median(aloneMs)},
            {"hashMsMedianEveryCoreHashing", median(busyMs)},
            {"hashesAtOnceInTheService", cores}};
}

// One account and one session per client (bench<c>@example.com), two registrations at a time
// (one per hasher); a 503 is waited out as its Retry-After says.
std::vector<std::string> registerAccounts(int port, unsigned count) {
    std::vector<std::string> tokens(count);
    std::atomic<unsigned> next{0};
    std::atomic<bool> failed{false};
    const auto work = [&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(120);
        for (unsigned c = next++; c < count && !failed; c = next++) {
            const std::string body = json{{"email", "bench" + std::to_string(c) + "@example.com"},
                                          {"password", "bench password " + std::to_string(c)}}
                                         .dump();
            for (;;) {
                auto res = client.Post("/api/auth/register", body, "application/json");
                if (res && res->status == 503) {
                    std::this_thread::sleep_for(std::chrono::seconds(1));
                    continue;
                }
                if (!res || res->status != 200) {
                    failed = true;
                    break;
                }
                tokens[c] = json::parse(res->body).at("token").get<std::string>();
                break;
            }
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    if (failed) {
        throw std::runtime_error("registration failed");
    }
    return tokens;
}

// How many logins the hashers work off within queueSeconds.
double loginCapacity(double hashMs) {
    return std::floor(static_cast<double>(std::thread::hardware_concurrency()) * kQueueSeconds *
                      1000 / hashMs);
}

struct Build {
    std::string label;
    std::string executable;
    bool current = true;  // the event-driven service: overload answer, several instances
};

struct Options {
    double seconds = 3;
    double timeoutSeconds = 30;
    std::vector<unsigned> clientCounts{1, 8, 64, 256};
    std::vector<std::string> stores{"sqlite", "postgresql"};
    std::vector<std::string> endpoints{"user/me", "login"};
    unsigned threads = 0;
    double hashMs = 0;
};

// Every endpoint and client count against the instances on `ports`, into `results`.
void runCells(const Options& options, const std::string& store, const std::vector<int>& ports,
              const std::vector<const ServiceProcess*>& services,
              const std::vector<std::string>& tokens, const Build& build, json& results) {
    const double capacity = loginCapacity(options.hashMs);
    for (const std::string& endpoint : options.endpoints) {
        for (const unsigned clients : options.clientCounts) {
            LoadCell cell{ports, endpoint, clients, options.seconds, options.timeoutSeconds};
            json figures = runLoadCell(cell, tokens);
            figures["store"] = store;
            const bool overload = endpoint == "login" && clients > capacity;
            figures["overload"] = overload;
            figures["everyAnswerWithin2s"] = figures["maxAnswerMs"].get<double>() <= 2000 &&
                                             figures["timeouts"] == 0 &&
                                             figures["transportErrors"] == 0;
            if (overload && !build.current) {
                figures["overloadAnswer"] = kBeforeOverload;
            }
            std::cerr << build.label << " " << store << " x" << ports.size() << " " << endpoint
                      << " " << clients << ": " << figures["okPerSecond"] << " ok/s, "
                      << figures["busy503"] << " 503, " << figures["timeouts"] << " time-outs, max "
                      << figures["maxAnswerMs"] << " ms\n";
            results.push_back(std::move(figures));
            for (const auto* service : services) {
                service->waitUntilIdle(kDrainSeconds);
            }
        }
    }
}

json measureBuild(const Options& options, const Build& build) {
    json entry{{"label", build.label},
               {"server", build.executable},
               {"threads", options.threads == 0 ? json("service default") : json(options.threads)},
               {"results", json::array()},
               {"notMeasured", json::array()}};
    const unsigned maxClients =
        *std::max_element(options.clientCounts.begin(), options.clientCounts.end());
    for (const auto& store : options.stores) {
        char pattern[] = "/tmp/brimo-bench-XXXXXX";
        const std::filesystem::path dir = mkdtemp(pattern);
        std::string database = (dir / "accounts.sqlite").string();
        const std::string cluster = (dir / "pg").string();
        if (store == "postgresql") {
            // Run as root, the cluster belongs to the postgres user, who must be able to
            // reach its folder in here (traverse, not list).
            std::filesystem::permissions(dir, std::filesystem::perms::owner_all |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_exec);
            if (runCommand({BRIMO_POSTGRES_CLUSTER, "start", cluster}) != 0) {
                std::filesystem::remove_all(dir);
                throw std::runtime_error("cannot start the PostgreSQL cluster");
            }
            database = readFile(std::filesystem::path(cluster) / "url");
            database.erase(database.find_last_not_of("\r\n") + 1);
        }
        {
            const ServiceProcess first(dir / "a", database, build.executable, options.threads);
            const auto tokens = registerAccounts(first.port(), maxClients);
            first.waitUntilIdle(kDrainSeconds);
            runCells(options, store, {first.port()}, {&first}, tokens, build, entry["results"]);
            if (store != "postgresql") {
                entry["notMeasured"].push_back(
                    {{"store", store}, {"instances", 2}, {"reason", kSqliteTwoInstances}});
            } else if (!build.current) {
                entry["notMeasured"].push_back(
                    {{"store", store}, {"instances", 2}, {"reason", kBeforeTwoInstances}});
            } else {
                const ServiceProcess second(dir / "b", database, build.executable, options.threads);
                runCells(options, store, {first.port(), second.port()}, {&first, &second}, tokens,
                         build, entry["results"]);
            }
        }
        if (store == "postgresql") {
            runCommand({BRIMO_POSTGRES_CLUSTER, "stop", cluster});
        }
        std::filesystem::remove_all(dir);
    }
    if (!build.current) {
        entry["notMeasured"].push_back(
            {{"what", "overload answer (503)"}, {"reason", kBeforeOverload}});
    }
    return entry;
}

template <typename T, typename Parse>
std::vector<T> parseList(const std::string& text, Parse parse) {
    std::vector<T> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        values.push_back(parse(item));
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) try {
    Options options;
    Build after{"after", BRIMO_SERVER_EXECUTABLE, true};
    std::unique_ptr<Build> before;
    std::string note;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& arg = args[i];
        const std::string& value = args[i + 1];
        if (arg == "--seconds") {
            options.seconds = std::stod(value);
        } else if (arg == "--timeout") {
            options.timeoutSeconds = std::stod(value);
        } else if (arg == "--clients") {
            options.clientCounts = parseList<unsigned>(
                value, [](const std::string& s) { return static_cast<unsigned>(std::stoul(s)); });
        } else if (arg == "--server") {
            after.executable = value;
        } else if (arg == "--before") {
            before = std::make_unique<Build>(Build{"before", value, false});
        } else if (arg == "--threads") {
            options.threads = static_cast<unsigned>(std::stoul(value));
        } else if (arg == "--note") {
            note = value;
        } else if (arg == "--endpoints") {
            options.endpoints =
                parseList<std::string>(value, [](const std::string& s) { return s; });
        } else if (arg == "--stores") {
            options.stores = parseList<std::string>(value, [](const std::string& s) { return s; });
        } else {
            throw std::runtime_error("unknown option " + arg);
        }
    }
    for (const auto& endpoint : options.endpoints) {
        if (endpoint != "user/me" && endpoint != "login") {
            throw std::runtime_error("unknown endpoint " + endpoint + " (user/me, login)");
        }
    }
    if (sodium_init() < 0) {
        return 1;
    }
    json report{{"benchmark", "server"},
                {"cores", std::thread::hardware_concurrency()},
                {"secondsPerCell", options.seconds},
                {"clientTimeoutSeconds", options.timeoutSeconds},
                {"argon2", argonCost()},
                {"builds", json::array()}};
    if (!note.empty()) {
        report["note"] = note;
    }
    options.hashMs = report["argon2"]["hashMsMedianEveryCoreHashing"].get<double>();
    // Logins beyond this many at once cannot all be answered within queueSeconds: the cells
    // past it are the overload ones.
    report["loginsWithinQueueSeconds"] = loginCapacity(options.hashMs);
    if (before) {
        report["builds"].push_back(measureBuild(options, *before));
    }
    report["builds"].push_back(measureBuild(options, after));
    std::cout << report.dump(2) << "\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << "bench_server: " << e.what() << "\n";
    return 1;
}
