// Load on the account service over loopback: logins and user/me, on SQLite and on PostgreSQL,
// at 1, 8, 64 and 256 concurrent keep-alive clients; the argon2id cost measured on its own.
// Starts the real executable (and, for PostgreSQL, a private cluster) and prints JSON.
//
//   bench_server [--seconds S] [--clients 1,8,64,256] [--stores sqlite,postgresql]
//                [--server PATH] [--threads N]
// --server measures another build of the service (an older one, for a before-and-after);
// --threads sets its worker threads (default: the service's own default).
#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <sodium.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// The service's production cost, as its default configuration sets it.
constexpr unsigned long long kOpsLimit = 2;
constexpr std::size_t kMemLimitKiB = 65536;

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

class ServiceProcess {
  public:
    ServiceProcess(const std::filesystem::path& dir, const std::string& database,
                   const std::string& executable, unsigned threads) {
        json settings{{"listen", "127.0.0.1:0"},
                      {"database", database},
                      {"maildir", (dir / "mail").string()},
                      {"accessLog", "off"},
                      {"databasePoolSize", 8},
                      // Every benchmark client comes from 127.0.0.1.
                      {"connections", {{"perClient", 0}}},
                      {"passwordHashing", {{"opsLimit", kOpsLimit}, {"memLimitKiB", kMemLimitKiB}}},
                      {"rateLimit", {{"perClient", 0}, {"perAddress", 0}}}};
        if (threads > 0) {
            settings["threads"] = threads;
        }
        std::ofstream(dir / "bench.json") << settings.dump();
        const std::string out = (dir / "stdout.txt").string();
        const std::string config = (dir / "bench.json").string();
        std::vector<char*> argv{const_cast<char*>(executable.c_str()),
                                const_cast<char*>("--config"), const_cast<char*>(config.c_str()),
                                nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
            throw std::runtime_error("cannot start brimo-server");
        }
        posix_spawn_file_actions_destroy(&actions);
        static const std::regex line("listening on http://127.0.0.1:([0-9]+)/api");
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < deadline) {
            std::smatch match;
            const std::string text = readFile(out);
            if (std::regex_search(text, match, line)) {
                port_ = std::stoi(match[1].str());
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        throw std::runtime_error("brimo-server did not start");
    }
    ~ServiceProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;
    [[nodiscard]] int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

json argonCost() {
    std::vector<double> hashMs;
    std::vector<double> verifyMs;
    std::array<char, crypto_pwhash_STRBYTES> out{};
    const std::string password = "a benchmark password";
    for (int i = 0; i < 10; ++i) {
        auto t0 = Clock::now();
        if (crypto_pwhash_str_alg(out.data(), password.data(), password.size(), kOpsLimit,
                                  kMemLimitKiB * 1024, crypto_pwhash_ALG_ARGON2ID13) != 0) {
            throw std::runtime_error("argon2id failed");
        }
        auto t1 = Clock::now();
        if (crypto_pwhash_str_verify(out.data(), password.data(), password.size()) != 0) {
            throw std::runtime_error("argon2id verification failed");
        }
        auto t2 = Clock::now();
        hashMs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        verifyMs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    return {{"algorithm", "argon2id"},
            {"opsLimit", kOpsLimit},
            {"memLimitKiB", kMemLimitKiB},
            {"hashMsMedian", percentile(hashMs, 0.5)},
            {"verifyMsMedian", percentile(verifyMs, 0.5)},
            {"hashesAtOnceInTheService", std::thread::hardware_concurrency()}};
}

struct Cell {
    std::size_t requests = 0;
    std::size_t errors = 0;
    double seconds = 0;
    std::vector<double> latenciesMs;
};

// `clients` threads, each with its own keep-alive connection and account, for `seconds`.
Cell runLoad(int port, const std::string& endpoint, unsigned clients, double seconds,
             const std::vector<std::string>& tokens) {
    std::vector<Cell> perClient(clients);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    for (unsigned c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            httplib::Client client("127.0.0.1", port);
            client.set_keep_alive(true);
            client.set_tcp_nodelay(true);  // as the application's client (libcurl) does
            client.set_read_timeout(60);
            const std::string login = json{{"email", "bench" + std::to_string(c) + "@example.com"},
                                           {"password", "bench password " + std::to_string(c)}}
                                          .dump();
            const httplib::Headers auth{{"Authorization", "Bearer " + tokens[c]},
                                        {"Content-Type", "application/json"}};
            while (!go) {
                std::this_thread::yield();
            }
            Cell& cell = perClient[c];
            while (Clock::now() < end) {
                const auto t0 = Clock::now();
                auto res = endpoint == "login"
                               ? client.Post("/api/auth/login", login, "application/json")
                               : client.Get("/api/user/me", auth);
                const auto t1 = Clock::now();
                ++cell.requests;
                if (!res || res->status != 200) {
                    ++cell.errors;
                }
                cell.latenciesMs.push_back(
                    std::chrono::duration<double, std::milli>(t1 - t0).count());
            }
        });
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    Cell total;
    total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (auto& cell : perClient) {
        total.requests += cell.requests;
        total.errors += cell.errors;
        total.latenciesMs.insert(total.latenciesMs.end(), cell.latenciesMs.begin(),
                                 cell.latenciesMs.end());
    }
    return total;
}

std::vector<unsigned> parseList(const std::string& text) {
    std::vector<unsigned> values;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        values.push_back(static_cast<unsigned>(std::stoul(item)));
    }
    return values;
}

}  // namespace

int main(int argc, char** argv) try {
    double seconds = 3;
    std::vector<unsigned> clientCounts{1, 8, 64, 256};
    std::string executable = BRIMO_SERVER_EXECUTABLE;
    unsigned threads = 0;
    std::vector<std::string> stores{"sqlite", "postgresql"};
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") {
            seconds = std::stod(argv[i + 1]);
        } else if (arg == "--clients") {
            clientCounts = parseList(argv[i + 1]);
        } else if (arg == "--server") {
            executable = argv[i + 1];
        } else if (arg == "--threads") {
            threads = static_cast<unsigned>(std::stoul(argv[i + 1]));
        } else if (arg == "--stores") {
            stores.clear();
            std::stringstream in(argv[i + 1]);
            std::string item;
            while (std::getline(in, item, ',')) {
                stores.push_back(item);
            }
        }
    }
    if (sodium_init() < 0) {
        return 1;
    }
    json report{{"benchmark", "server"},     {"server", executable},
                {"threads", threads},        {"cores", std::thread::hardware_concurrency()},
                {"secondsPerCell", seconds}, {"argon2", argonCost()},
                {"results", json::array()}};
    const unsigned maxClients = *std::max_element(clientCounts.begin(), clientCounts.end());

    for (const auto& store : stores) {
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
                std::cerr << "cannot start the PostgreSQL cluster\n";
                std::filesystem::remove_all(dir);
                return 1;
            }
            database = readFile(std::filesystem::path(cluster) / "url");
            database.erase(database.find_last_not_of("\r\n") + 1);
        }
        {
            ServiceProcess service(dir, database, executable, threads);
            // One account and one session per client.
            std::vector<std::string> tokens;
            httplib::Client setup("127.0.0.1", service.port());
            for (unsigned c = 0; c < maxClients; ++c) {
                auto res = setup.Post("/api/auth/register",
                                      json{{"email", "bench" + std::to_string(c) + "@example.com"},
                                           {"password", "bench password " + std::to_string(c)}}
                                          .dump(),
                                      "application/json");
                if (!res || res->status != 200) {
                    std::cerr << "registration failed\n";
                    return 1;
                }
                tokens.push_back(json::parse(res->body)["token"]);
            }
            for (const std::string endpoint : {"user/me", "login"}) {
                for (unsigned clients : clientCounts) {
                    const Cell cell = runLoad(service.port(), endpoint, clients, seconds, tokens);
                    report["results"].push_back(
                        {{"store", store},
                         {"endpoint", endpoint},
                         {"clients", clients},
                         {"requests", cell.requests},
                         {"errors", cell.errors},
                         {"requestsPerSecond", static_cast<double>(cell.requests) / cell.seconds},
                         {"p50Ms", percentile(cell.latenciesMs, 0.50)},
                         {"p99Ms", percentile(cell.latenciesMs, 0.99)}});
                    std::cerr << store << " " << endpoint << " x" << clients << ": "
                              << report["results"].back()["requestsPerSecond"] << " req/s\n";
                }
            }
        }
        if (store == "postgresql") {
            runCommand({BRIMO_POSTGRES_CLUSTER, "stop", cluster});
        }
        std::filesystem::remove_all(dir);
    }
    std::cout << report.dump(2) << "\n";
    return 0;
} catch (const std::exception& e) {
    std::cerr << "bench_server: " << e.what() << "\n";
    return 1;
}
