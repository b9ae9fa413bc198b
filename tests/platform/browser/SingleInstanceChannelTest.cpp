#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/browser/SingleInstanceChannel.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::browser {
namespace {

using std::chrono::milliseconds;

// Messages as the instance's channel thread receives them.
class Inbox {
  public:
    SingleInstanceChannel::MessageHandler handler() {
        return [this](std::string message) {
            const std::lock_guard guard(mutex_);
            messages_.push_back(std::move(message));
            arrived_.notify_all();
        };
    }
    // The messages once `count` have arrived (or after a generous limit: a hang, not a race).
    std::vector<std::string> waitFor(std::size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, std::chrono::seconds(20),
                          [&] { return messages_.size() >= count; });
        return messages_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> messages_;
};

// A raw client of the channel's socket, for what a well-behaved sender never does.
int connectRaw(const std::filesystem::path& folder) {
    const std::string path = (folder / "instance.socket").string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(static_cast<char*>(address.sun_path), path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address),  // NOLINT
                        sizeof(address)),
              0);
    return fd;
}

class SingleInstanceChannelTest : public ::testing::Test {
  protected:
    std::unique_ptr<SingleInstanceChannel> claim(Inbox& inbox) {
        SingleInstanceChannel::Options options;
        options.folder = folder;
        options.onMessage = inbox.handler();
        options.maximumMessageBytes = 64;
        options.readTimeout = milliseconds(200);
        options.print = printed.writer();
        return SingleInstanceChannel::claim(std::move(options));
    }

    testing::TemporaryDirectory temporary;
    std::filesystem::path folder = temporary.path() / "runtime";
    testing::LineCollector printed;
};

TEST_F(SingleInstanceChannelTest, TheFirstClaimIsTheInstanceAndLaterStartsHandOver) {
    Inbox inbox;
    auto instance = claim(inbox);
    ASSERT_NE(instance, nullptr);
    struct stat status {};
    ASSERT_EQ(::stat(folder.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777U, 0700U);
    ASSERT_EQ(::stat((folder / "instance.socket").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777U, 0600U);

    // A second start finds the instance and hands its message over.
    Inbox unused;
    EXPECT_EQ(claim(unused), nullptr);
    EXPECT_TRUE(SingleInstanceChannel::sendToRunningInstance(folder, "scheme:/first?code=1", 64));
    EXPECT_TRUE(SingleInstanceChannel::sendToRunningInstance(folder, "scheme:/second", 64));
    EXPECT_EQ(inbox.waitFor(2),
              (std::vector<std::string>{"scheme:/first?code=1", "scheme:/second"}));

    // Nothing a sender could smuggle in as a second line, nothing over the size limit.
    EXPECT_FALSE(SingleInstanceChannel::sendToRunningInstance(folder, "a\nb", 64));
    EXPECT_FALSE(SingleInstanceChannel::sendToRunningInstance(folder, std::string(65, 'x'), 64));

    // Gone: nobody answers, and the next start becomes the instance, over the dead socket file.
    instance.reset();
    EXPECT_FALSE(SingleInstanceChannel::sendToRunningInstance(folder, "late", 64));
    Inbox next;
    auto again = claim(next);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(SingleInstanceChannel::sendToRunningInstance(folder, "again", 64));
    EXPECT_EQ(next.waitFor(1), std::vector<std::string>{"again"});
}

TEST_F(SingleInstanceChannelTest, HostileSendersAreCutOffAndTheChannelStaysUsable) {
    Inbox inbox;
    auto instance = claim(inbox);
    ASSERT_NE(instance, nullptr);

    // A flood over the limit, a line without its end, a sender that never sends: each is
    // dropped within the read limit, and a good message after them still arrives.
    const int flood = connectRaw(folder);
    const std::string big(4096, 'x');
    ::send(flood, big.data(), big.size(), MSG_NOSIGNAL);
    const int partial = connectRaw(folder);
    ::send(partial, "scheme:/half", 12, MSG_NOSIGNAL);
    ::shutdown(partial, SHUT_WR);
    const int silent = connectRaw(folder);
    EXPECT_TRUE(SingleInstanceChannel::sendToRunningInstance(folder, "scheme:/good", 64));
    EXPECT_EQ(inbox.waitFor(1), std::vector<std::string>{"scheme:/good"});
    ::close(flood);
    ::close(partial);
    ::close(silent);
    const auto lines = printed.lines();
    EXPECT_EQ(lines.size(), 3U);
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("scheme:/half"), std::string::npos) << line;
    }
}

TEST_F(SingleInstanceChannelTest, AFolderOthersCanEnterIsNotUsedEitherWay) {
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);  // whatever the umask
    Inbox inbox;
    EXPECT_EQ(claim(inbox), nullptr);
    EXPECT_EQ(printed.lines().size(), 1U);

    // Nor through a symbolic link to a private folder.
    const auto real = temporary.path() / "real";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    const auto link = temporary.path() / "link";
    std::filesystem::create_symlink(real, link);
    SingleInstanceChannel::Options options;
    options.folder = link;
    options.print = printed.writer();
    EXPECT_EQ(SingleInstanceChannel::claim(std::move(options)), nullptr);
    EXPECT_FALSE(SingleInstanceChannel::sendToRunningInstance(link, "x"));
}

}  // namespace
}  // namespace brimo::browser
