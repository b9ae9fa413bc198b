#include <malloc.h>

#include "platform/browser/InstanceLaunch.h"
#include "ui/app/BrimolavetrixApp.h"

namespace {

// Every shown picture passes buffers of a few hundred KiB to a few MiB through the allocator
// (video planes, textures, the window's image). By default glibc maps each such buffer afresh
// and hands freed ones back to the kernel, so every picture paid a page fault for each page it
// touched; kept in the heap, they are reused as they are.
// Called first in main, before any thread exists.
void keepPictureSizedBuffers() {
    constexpr int kMiB = 1024 * 1024;
    mallopt(M_MMAP_THRESHOLD, 16 * kMiB);  // NOLINT(concurrency-mt-unsafe): no threads yet
    mallopt(M_TRIM_THRESHOLD, 64 * kMiB);  // NOLINT(concurrency-mt-unsafe): no threads yet
}

}  // namespace

int main(int argc, char** argv) {
    keepPictureSizedBuffers();
    // Started by the browser's redirect to the sign-in callback while the window runs: the link
    // goes to the window, and this process is done before it opens anything of its own.
    auto launch =
        brimo::browser::launchInstance(brimo::browser::SingleInstanceChannel::defaultFolder(),
                                       brimo::browser::linkArgument(argc, argv));
    if (launch.handedOver) {
        return 0;
    }
    if (launch.isRefused) {
        return 1;
    }
    brimo::ui::BrimolavetrixApp app(argc, argv, std::move(launch));
    return app.run();
}
