#include "http/ResetPage.h"

#include "accounts/AccountService.h"

namespace brimo::server {
namespace {

std::string page(const std::string& title, const std::string& content) {
    return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="referrer" content="no-referrer">
<title>)" + title +
           R"( – Brimolavetrix</title>
<style>
  body { margin: 0; min-height: 100vh; display: flex; align-items: center; justify-content: center;
         background: #0b0b12; color: #fff; font: 15px/1.45 system-ui, sans-serif; }
  main { width: min(340px, 90vw); padding: 28px; border-radius: 20px;
         background: rgba(255,255,255,.06); border: 1px solid rgba(255,255,255,.15); }
  h1 { font-size: 20px; margin: 0 0 14px; }
  p { color: rgba(255,255,255,.7); margin: 0 0 14px; }
  label { display: block; font-size: 12px; color: rgba(255,255,255,.6); margin: 12px 0 4px; }
  input { box-sizing: border-box; width: 100%; padding: 12px 14px; border-radius: 12px;
          border: 1px solid rgba(255,255,255,.2); background: rgba(255,255,255,.06);
          color: #fff; font-size: 15px; }
  button { margin-top: 20px; width: 100%; padding: 12px; border: 0; border-radius: 12px;
           background: #7b5cff; color: #fff; font-size: 15px; font-weight: 600; }
  .problem { color: #ff6b6b; }
</style>
</head>
<body>
<main>
)" + content +
           R"(
</main>
</body>
</html>
)";
}

}  // namespace

std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string resetFormPage(const std::string& token, const std::string& problem) {
    std::string content = "<h1>Choose a new password</h1>\n";
    if (!problem.empty()) {
        content += "<p class=\"problem\" role=\"alert\">" + escapeHtml(problem) + "</p>\n";
    } else {
        content += "<p>At least 8 characters. You will be signed out everywhere else.</p>\n";
    }
    content += R"(<form method="post" action="/reset-password">
<input type="hidden" name="token" value=")" +
               escapeHtml(token) + R"(">
<label for="password">New password</label>
<input id="password" name="password" type="password" minlength="8" autocomplete="new-password" required autofocus>
<label for="confirm">Confirm password</label>
<input id="confirm" name="confirm" type="password" minlength="8" autocomplete="new-password" required>
<button type="submit">Set password</button>
</form>)";
    return page("Reset password", content);
}

std::string resetDonePage() {
    return page("Password changed",
                std::string("<h1>") + texts::kPasswordChanged +
                    "</h1>\n<p>You can sign in to Brimolavetrix with it now.</p>");
}

std::string resetInvalidPage() {
    return page("Link expired", std::string("<h1>This link cannot be used</h1>\n<p>") +
                                    texts::kResetLinkInvalid + "</p>");
}

}  // namespace brimo::server
