// see simpages.h
#include "sim/simpages.h"

#include <vector>

namespace {

// Kept free of the three header markers the proxy blanks, so nothing in a page body is lost.
constexpr char kStyle[] =
    "body{font-family:system-ui,sans-serif;margin:0;background:#f4f6f8;color:#1d2733}"
    "header{background:#1f3a5f;color:#fff;padding:.8em 1.5em}"
    "header b{font-size:1.25em}header span{opacity:.75;margin-left:1em}"
    "nav{background:#e3e9f0;padding:.5em 1.5em}nav a{margin-right:1.4em}"
    "main{padding:.5em 1.5em 1.5em;max-width:62em}"
    "table{border-collapse:collapse;background:#fff;margin:.5em 0}"
    "td,th{border:1px solid #cfd8e3;padding:.35em .8em;text-align:left;vertical-align:top}"
    "th{background:#eef2f6}a{color:#1f5fa8}code{background:#eef2f6;padding:0 .3em}"
    ".card{background:#fff;border:1px solid #cfd8e3;border-radius:6px;padding:.3em 1.2em;"
    "margin:.8em 0}label{display:block;margin:.5em 0}input,select,textarea{font:inherit}"
    "button{background:#1f5fa8;color:#fff;border:0;border-radius:4px;padding:.4em 1.2em}"
    "footer{color:#667;font-size:.85em;padding:0 1.5em 1em}";

[[nodiscard]] std::string classPath(std::string_view token) {
    return "/class/" + std::string(token);
}

void factsTable(HtmlPage& page, const SimObject& object) {
    page.raw("<table>\n<tr><th>Name</th><td><code>");
    page.text(object.name);
    page.raw("</code></td></tr>\n");
    for (const auto& fact : object.facts) {
        if (fact[0] == nullptr) continue;
        page.raw("<tr><th>");
        page.text(fact[0]);
        page.raw("</th><td>");
        page.text(fact[1]);
        page.raw("</td></tr>\n");
    }
    page.raw("</table>\n");
}

void receivedAs(HtmlPage& page, const PageRequest& request) {
    page.raw("<p>Requested as <code>");
    page.text(request.url);
    page.raw("</code>: the object name is one path token, its dots and slashes encoded.</p>\n");
}

}  // namespace

HtmlPage::HtmlPage(const SiteContext& context, const PageRequest& request, std::string_view title)
    : context_(context), request_(request), title_(title) {}

std::string HtmlPage::proxyAction() const {
    return request_.proxyUrl + "/korproxy";
}

void HtmlPage::link(std::string_view path, std::string_view label) {
    body_.append("<a href=\"");
    body_.append(htmlEscape(proxyAction() + "?SERVER=" + context_.serverAddress +
                            "&URL=" + std::string(path)));
    body_.append("\">");
    body_.append(htmlEscape(label));
    body_.append("</a>");
}

std::string HtmlPage::finish() const {
    std::string page = kPageHeader;
    page.append("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">\n<title>");
    page.append(htmlEscape(title_));
    page.append(" - VELK server</title>\n<style>");
    page.append(kStyle);
    page.append("</style></head>\n<body>\n<header><b>VELK storage server</b><span>");
    page.append(htmlEscape(context_.serverAddress));
    page.append(context_.ebcdic ? " &middot; EBCDIC" : " &middot; ASCII");
    page.append(" &middot; signed on as ");
    page.append(htmlEscape(context_.adminId));
    page.append("</span></header>\n<nav>");
    HtmlPage nav(context_, request_, {});
    nav.link("/", "Start");
    for (const SimClass& cls : kClasses) nav.link(classPath(cls.token), cls.title);
    nav.link("/form", "Register a node");
    page.append(nav.body_);
    page.append("</nav>\n<main>\n<h1>");
    page.append(htmlEscape(title_));
    page.append("</h1>\n");
    page.append(body_);
    page.append("</main>\n<footer>Served by the VELK server simulator through the web proxy at ");
    page.append(htmlEscape(proxyAction()));
    page.append(".</footer>\n</body></html>\n");
    return page;
}

std::string objectPath(const SimObject& object) {
    return classPath(object.cls) + "/object/" + percentEncode(object.name, false);
}

std::string renderStart(const SiteContext& context, const PageRequest& request) {
    HtmlPage page(context, request, "Administration");
    page.raw(
        "<p>Welcome. Every link on these pages goes back through the web proxy, which signs "
        "on to this server for each page it fetches.</p>\n");
    for (const SimClass& cls : kClasses) {
        page.raw("<div class=\"card\"><h3>");
        page.link(classPath(cls.token), cls.title);
        page.raw("</h3><ul>\n");
        for (const SimObject& object : kObjects) {
            if (std::string_view(object.cls) != cls.token) continue;
            page.raw("<li>");
            page.link(objectPath(object), object.name);
            page.raw("</li>\n");
        }
        page.raw("</ul></div>\n");
    }
    page.raw("<div class=\"card\"><h3>Forms and test pages</h3><ul>\n<li>");
    page.link("/form", "Register a node (a form that posts)");
    page.raw("</li>\n<li>");
    page.link("/size/1024", "A page of 1 KiB");
    page.raw("</li>\n<li>");
    page.link("/size/1048576", "A page of 1 MiB");
    page.raw("</li>\n</ul></div>\n");
    return page.finish();
}

std::string renderClass(const SiteContext& context, const PageRequest& request,
                        const SimClass& cls) {
    HtmlPage page(context, request, cls.title);
    page.raw("<table>\n<tr><th>Name</th><th>");
    const SimObject* first = nullptr;
    for (const SimObject& object : kObjects) {
        if (std::string_view(object.cls) == cls.token && first == nullptr) first = &object;
    }
    page.text(first != nullptr ? first->facts[0][0] : "");
    page.raw("</th></tr>\n");
    for (const SimObject& object : kObjects) {
        if (std::string_view(object.cls) != cls.token) continue;
        page.raw("<tr><td>");
        page.link(objectPath(object), object.name);
        page.raw("</td><td>");
        page.text(object.facts[0][1]);
        page.raw("</td></tr>\n");
    }
    page.raw("</table>\n");
    return page.finish();
}

std::string renderObject(const SiteContext& context, const PageRequest& request,
                         const SimObject& object) {
    HtmlPage page(context, request, object.name);
    factsTable(page, object);
    receivedAs(page, request);
    page.raw("<p>Tasks: ");
    page.link(objectPath(object) + "/task/details", "details");
    page.raw(" &middot; ");
    page.link(objectPath(object) + "/task/audit", "audit");
    page.raw("</p>\n");
    return page.finish();
}

std::string renderTask(const SiteContext& context, const PageRequest& request,
                       const SimObject& object, std::string_view task) {
    HtmlPage page(context, request, std::string(task) + ": " + object.name);
    if (task == "audit") {
        page.raw("<div class=\"card\"><p>Audit of <code>");
        page.text(object.name);
        page.raw("</code> finished: 0 inconsistencies found.</p></div>\n");
    } else {
        factsTable(page, object);
    }
    receivedAs(page, request);
    page.raw("<p>");
    page.link(objectPath(object), "Back to the object");
    page.raw("</p>\n");
    return page.finish();
}

std::string renderForm(const SiteContext& context, const PageRequest& request) {
    HtmlPage page(context, request, "Register a node");
    page.raw("<form method=\"post\" action=\"");
    page.text(page.proxyAction());
    page.raw("\">\n<input type=\"hidden\" name=\"SERVER\" value=\"");
    page.text(context.serverAddress);
    page.raw(
        "\">\n<input type=\"hidden\" name=\"URL\" value=\"/posted\">\n"
        "<label>Node name <input name=\"node\" value=\"new.node/test\" size=\"30\"></label>\n"
        "<label>Contact <input name=\"contact\" value=\"Storage team &amp; friends\" "
        "size=\"30\"></label>\n"
        "<label>Domain <select name=\"domain\"><option>STANDARD</option>"
        "<option>DATABASES</option></select></label>\n"
        "<label><input type=\"checkbox\" name=\"compress\" value=\"yes\" checked> "
        "Compress data</label>\n"
        "<label>Notes<br><textarea name=\"notes\" rows=\"3\" cols=\"40\">"
        "Moved from rack 4; 100% ready?</textarea></label>\n"
        "<button type=\"submit\">Register</button>\n</form>\n");
    return page.finish();
}

std::string renderPosted(const SiteContext& context, const PageRequest& request) {
    HtmlPage page(context, request, "What was posted");
    if (!request.post) {
        page.raw("<p>Nothing was posted with this request.</p>\n<p>");
        page.link("/form", "Go to the form");
        page.raw("</p>\n");
        return page.finish();
    }
    page.raw("<table>\n<tr><th>Field</th><th>Value</th></tr>\n");
    std::string_view rest = request.payload;
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        size_t eq = pair.find('=');
        page.raw("<tr><td>");
        page.text(percentDecode(pair.substr(0, eq), true));
        page.raw("</td><td>");
        if (eq != std::string_view::npos) page.text(percentDecode(pair.substr(eq + 1), true));
        page.raw("</td></tr>\n");
        rest = amp == std::string_view::npos ? std::string_view{} : rest.substr(amp + 1);
    }
    page.raw("</table>\n<p>As it arrived: <code>");
    page.text(request.payload);
    page.raw("</code></p>\n<p>");
    page.link("/form", "Post again");
    page.raw("</p>\n");
    return page.finish();
}

std::string renderSized(size_t bodyBytes) {
    static constexpr char kFill[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-";
    static_assert(sizeof kFill - 1 == 63, "a filler line is 63 characters and a line feed");
    std::string head = "<!DOCTYPE html>\n<html><head><title>" + std::to_string(bodyBytes) +
                       " bytes</title></head><body><pre>\n";
    const std::string tail = "</pre></body></html>\n";
    std::string page = kPageHeader;
    page.reserve(page.size() + bodyBytes);
    bool wrapped = bodyBytes >= head.size() + tail.size();
    size_t fill = wrapped ? bodyBytes - head.size() - tail.size() : bodyBytes;
    if (wrapped) page.append(head);
    for (size_t i = 0; i < fill; ++i) page.push_back(i % 64 == 63 ? '\n' : kFill[i % 64]);
    if (wrapped) page.append(tail);
    return page;
}
