#include "mail/SmtpMailSender.h"

#include <curl/curl.h>

#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/Redaction.h"

namespace brimo::server {
namespace {

struct Upload {
    const std::string* text = nullptr;
    std::size_t offset = 0;
};

std::size_t readPayload(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    const std::size_t room = size * count;
    const std::size_t left = upload->text->size() - upload->offset;
    const std::size_t n = left < room ? left : room;
    std::memcpy(buffer, upload->text->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

// libcurl asks this while it works: a non-zero answer ends the transfer.
int abortWhenAsked(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(user)->load() ? 1 : 0;
}

}  // namespace

std::string envelopeAddress(const std::string& from) {
    const auto open = from.rfind('<');
    const auto close = from.rfind('>');
    if (open != std::string::npos && close != std::string::npos && close > open) {
        return from.substr(open + 1, close - open - 1);
    }
    return from;
}

SmtpMailSender::SmtpMailSender(SmtpSettings settings) : settings_(std::move(settings)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

std::string SmtpMailSender::description() const {
    return "smtp " + redactedUrl(settings_.url);
}

void SmtpMailSender::send(const Mail& mail) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl) {
        throw std::runtime_error("smtp: libcurl could not start");
    }
    CURL* h = curl.get();
    // Appended piecewise: GCC 12 misreads the concatenation chain at -O3 (-Wrestrict).
    std::string from = "<";
    from.append(envelopeAddress(settings_.from)).append(">");
    std::string to = "<";
    to.append(mail.recipient).append(">");
    curl_slist* recipients = curl_slist_append(nullptr, to.c_str());
    std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> recipientList(recipients,
                                                                              curl_slist_free_all);
    Upload upload{&mail.message};
    std::array<char, CURL_ERROR_SIZE> error{};

    curl_easy_setopt(h, CURLOPT_URL, settings_.url.c_str());
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(h, CURLOPT_USE_SSL,
                     static_cast<long>(settings_.requireTls ? CURLUSESSL_ALL : CURLUSESSL_TRY));
    if (!settings_.caFile.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, settings_.caFile.c_str());
    }
    if (!settings_.username.empty()) {
        curl_easy_setopt(h, CURLOPT_USERNAME, settings_.username.c_str());
        curl_easy_setopt(h, CURLOPT_PASSWORD, settings_.password.c_str());
    }
    curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(h, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, readPayload);
    curl_easy_setopt(h, CURLOPT_READDATA, &upload);
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error.data());
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abortWhenAsked);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &aborted_);

    if (aborted_) {
        throw std::runtime_error("smtp: stopped before sending");
    }
    const CURLcode rc = curl_easy_perform(h);
    if (rc != CURLE_OK) {
        const std::string detail = error[0] != '\0' ? error.data() : curl_easy_strerror(rc);
        throw std::runtime_error("smtp: " + detail);
    }
}

}  // namespace brimo::server
