// see simsite.h
#include "sim/simsite.h"

#include <vector>

#include "sim/simpages.h"

const SimClass kClasses[kClassCount] = {
    {"pools", "Storage pools"},
    {"nodes", "Client nodes"},
    {"schedules", "Schedules"},
};

// clang-format off
const SimObject kObjects[kObjectCount] = {
    {"pools", "ARCHIVE.POOL/2004/tape", {{"Device class", "tape (sequential)"}, {"Capacity", "12.0 TB"},
        {"Used", "71 %"}, {"Volumes", "48"}, {"Next pool", "none"}}},
    {"pools", "BACKUP.POOL", {{"Device class", "disk (random access)"}, {"Capacity", "2.0 TB"},
        {"Used", "38 %"}, {"Volumes", "4"}, {"Next pool", "ARCHIVE.POOL/2004/tape"}}},
    {"pools", "disk.pool/primary", {{"Device class", "disk (random access)"}, {"Capacity", "500 GB"},
        {"Used", "92 %"}, {"Volumes", "2"}, {"Next pool", "BACKUP.POOL"}}},
    {"nodes", "web01.example.org", {{"Platform", "Linux x86_64"}, {"Domain", "STANDARD"},
        {"Files stored", "182 344"}, {"Last access", "today 02:14"}, {nullptr, nullptr}}},
    {"nodes", "db/main.node", {{"Platform", "Linux x86_64"}, {"Domain", "DATABASES"},
        {"Files stored", "1 207"}, {"Last access", "today 03:40"}, {nullptr, nullptr}}},
    {"nodes", "file server 2", {{"Platform", "Windows"}, {"Domain", "STANDARD"},
        {"Files stored", "2 915 006"}, {"Last access", "yesterday 23:05"}, {nullptr, nullptr}}},
    {"schedules", "nightly.incr/02:00", {{"Action", "incremental backup"}, {"Starts", "daily 02:00"},
        {"Window", "2 hours"}, {"Nodes", "web01.example.org, db/main.node"}, {nullptr, nullptr}}},
    {"schedules", "weekly.full/sun", {{"Action", "full backup"}, {"Starts", "Sunday 20:00"},
        {"Window", "8 hours"}, {"Nodes", "file server 2"}, {nullptr, nullptr}}},
};
// clang-format on

namespace {

// The actions an object page offers.
constexpr std::string_view kTasks[] = {"details", "audit"};

[[nodiscard]] int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Cuts a server-form path into its decoded tokens; false when it does not begin with "/".
[[nodiscard]] bool splitPath(std::string_view path, std::vector<std::string>* tokens) {
    if (path.empty() || path.front() != '/') return false;
    tokens->clear();
    path.remove_prefix(1);
    if (path.empty()) return true;
    for (;;) {
        size_t slash = path.find('/');
        tokens->push_back(percentDecode(path.substr(0, slash), false));
        if (slash == std::string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

[[nodiscard]] bool parseSize(std::string_view text, size_t* out) {
    if (text.empty() || text.size() > 9) return false;
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<size_t>(c - '0');
    }
    if (value > kMaxSizedPage) return false;
    *out = value;
    return true;
}

[[nodiscard]] SiteAnswer ok(std::string page) {
    return {"RC_OK", std::move(page)};
}

[[nodiscard]] SiteAnswer notFound() {
    return {"RC_NOTFOUND", {}};
}

// /class/CLS[/object/NAME[/task/ACTION]]
[[nodiscard]] SiteAnswer classRoute(const std::vector<std::string>& t, const SiteContext& context,
                                    const PageRequest& request) {
    const SimClass* cls = t.size() >= 2 ? findClass(t[1]) : nullptr;
    if (cls == nullptr) return notFound();
    if (t.size() == 2) return ok(renderClass(context, request, *cls));
    if (t[2] != "object" || t.size() < 4) return notFound();
    const SimObject* object = findObject(t[1], t[3]);
    if (object == nullptr) return notFound();
    if (t.size() == 4) return ok(renderObject(context, request, *object));
    if (t.size() != 6 || t[4] != "task") return notFound();
    for (std::string_view task : kTasks) {
        if (t[5] == task) return ok(renderTask(context, request, *object, task));
    }
    return notFound();
}

}  // namespace

const SimClass* findClass(std::string_view token) {
    for (const SimClass& cls : kClasses) {
        if (token == cls.token) return &cls;
    }
    return nullptr;
}

const SimObject* findObject(std::string_view cls, std::string_view name) {
    for (const SimObject& object : kObjects) {
        if (cls == object.cls && name == object.name) return &object;
    }
    return nullptr;
}

std::string percentDecode(std::string_view text, bool plusIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
            hexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(plusIsSpace && c == '+' ? ' ' : c);
        }
    }
    return out;
}

std::string percentEncode(std::string_view text, bool keepSlash) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        bool plain = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                     u == '-' || u == '.' || u == '_' || u == '~' || (keepSlash && u == '/');
        if (plain) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 15]);
        }
    }
    return out;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out.append("&amp;");
                break;
            case '<':
                out.append("&lt;");
                break;
            case '>':
                out.append("&gt;");
                break;
            case '"':
                out.append("&quot;");
                break;
            case '\'':
                out.append("&#39;");
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

SiteAnswer sitePage(const PageRequest& request, const SiteContext& context) {
    std::vector<std::string> t;
    if (!splitPath(request.url, &t)) return notFound();
    if (t.empty() || (t.size() == 1 && t[0].empty())) return ok(renderStart(context, request));
    if (t[0] == "class") return classRoute(t, context, request);
    if (t.size() == 1 && t[0] == "form") return ok(renderForm(context, request));
    if (t.size() == 1 && t[0] == "posted") return ok(renderPosted(context, request));
    size_t size = 0;
    if (t.size() == 2 && t[0] == "size") {
        if (!parseSize(t[1], &size)) return {"RC_SYNTAX", {}};
        return ok(renderSized(size));
    }
    return notFound();
}
