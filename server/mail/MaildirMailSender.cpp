#include "mail/MaildirMailSender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace brimo::server {

MaildirMailSender::MaildirMailSender(std::filesystem::path folder) : folder_(std::move(folder)) {
    for (const char* sub : {"tmp", "new", "cur"}) {
        std::filesystem::create_directories(folder_ / sub);
    }
    ::chmod(folder_.c_str(), 0700);
}

std::string MaildirMailSender::description() const {
    return "maildir " + folder_.string();
}

void MaildirMailSender::send(const Mail& mail) {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    std::array<char, 256> host{};
    ::gethostname(host.data(), host.size() - 1);
    const std::string name = std::to_string(micros / 1000000) + ".M" +
                             std::to_string(micros % 1000000) + "P" + std::to_string(::getpid()) +
                             "Q" + std::to_string(sequence_.fetch_add(1)) + "." + host.data();
    const auto temporary = folder_ / "tmp" / name;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw std::runtime_error("maildir: cannot create " + temporary.string() + ": " +
                                 std::error_code(errno, std::generic_category()).message());
    }
    std::size_t written = 0;
    bool ok = true;
    while (written < mail.message.size()) {
        const auto n = ::write(fd, mail.message.data() + written, mail.message.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            ok = false;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temporary.c_str(), (folder_ / "new" / name).c_str()) != 0) {
        const std::string reason = std::error_code(errno, std::generic_category()).message();
        ::unlink(temporary.c_str());
        throw std::runtime_error("maildir: cannot deliver into " + folder_.string() + ": " +
                                 reason);
    }
}

}  // namespace brimo::server
