// see audit.h
#include "common/audit.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/notice.h"

namespace {

constexpr const char* kEventNames[] = {"",      "page",  "post",    "refused",
                                       "setup", "logon", "console", "check"};

bool needsQuotes(unsigned char c) {
    return c == ' ' || c == '"' || c == '\\' || c < ' ' || c == 0x7f;
}

void addField(std::string& line, const char* key, const std::string& value) {
    if (value.empty()) return;
    line += ' ';
    line += key;
    line += '=';
    line += auditValue(value);
}

void addNumber(std::string& line, const char* key, int64_t value) {
    if (value < 0) return;
    line += ' ';
    line += key;
    line += '=';
    line += std::to_string(value);
}

struct Current {
    AuditRecord record;
    std::chrono::steady_clock::time_point started;
};
Current current;

std::string fromEnvironment(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

std::string auditValue(std::string_view value) {
    value = value.substr(0, kAuditValueMax);
    bool quote = value.empty();
    for (char c : value) quote = quote || needsQuotes(static_cast<unsigned char>(c));
    if (!quote) return std::string(value);
    std::string out = "\"";
    for (char c : value) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < ' ' || byte == 0x7f) {
            char escape[5];
            snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string auditLine(const AuditRecord& r) {
    std::string line = "event=";
    line += kEventNames[static_cast<int>(r.event)];
    line += " user=";
    line += r.user.empty() ? "-" : auditValue(r.user);
    addField(line, "addr", r.addr);
    addField(line, "server", r.server);
    addField(line, "admin", r.admin);
    addField(line, "logon", r.logon);
    addField(line, "url", r.url);
    addField(line, "fields", r.fields);
    addField(line, "reason", r.reason);
    addField(line, "result", r.result);
    addNumber(line, "bytes", r.bytes);
    addNumber(line, "ms", r.ms);
    return line;
}

OsLogLevel auditLevelOf(const AuditRecord& r) {
    if (r.event == AuditEvent::kRefused) return OsLogLevel::kNotice;
    if (r.result.empty() || r.result == "ok" || r.result == "RC_OK") return OsLogLevel::kInfo;
    return OsLogLevel::kWarning;
}

AuditSink auditSinkOf(const char* destination) {
    if (destination == nullptr || destination[0] == '\0') return AuditSink::kSystem;
    if (strcmp(destination, "syslog") == 0 || strcmp(destination, "eventlog") == 0) {
        return AuditSink::kSystem;
    }
    if (strcmp(destination, "off") == 0) return AuditSink::kOff;
    for (const char* c = destination; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < ' ' || *c == '\x7f') return AuditSink::kInvalid;
    }
    return osIsAbsolutePath(destination) ? AuditSink::kFile : AuditSink::kInvalid;
}

void auditBegin(AuditEvent event) {
    current.record = AuditRecord{};
    current.record.event = event;
    current.record.user = fromEnvironment("REMOTE_USER");
    current.record.addr = fromEnvironment("REMOTE_ADDR");
    current.started = std::chrono::steady_clock::now();
}

AuditRecord& auditCurrent() {
    return current.record;
}

void auditRefuse(const char* reason) {
    if (current.record.event == AuditEvent::kRefused) return;
    current.record.event = AuditEvent::kRefused;
    current.record.reason = reason;
    current.record.result.clear();  // a refused request has a reason, not a result
}

void auditResult(std::string_view word) {
    AuditRecord& r = current.record;
    if (r.result.empty() && r.event != AuditEvent::kRefused) r.result = word;
}

void auditField(const char* name) {
    std::string& fields = current.record.fields;
    if (("," + fields + ",").find(std::string(",") + name + ",") != std::string::npos) return;
    if (!fields.empty()) fields += ',';
    fields += name;
}

namespace {

// Writes one line to `destination` at the level of `record`. A file that cannot be opened is
// noted; a system log that cannot be reached loses the line as the system's own logging does.
void auditWrite(const char* destination, const AuditRecord& record) {
    AuditSink sink = auditSinkOf(destination);
    if (sink == AuditSink::kOff) return;
    std::string line = auditLine(record);
    if (sink == AuditSink::kSystem) {
        (void)osSystemLog(auditLevelOf(record), line.c_str());
        return;
    }
    if (sink == AuditSink::kInvalid) {
        noteProblem("audit log %s cannot be used: not syslog, eventlog, off or an absolute path",
                    destination);
        return;
    }
    // The audit file follows the trace file's rules: created for its owner alone, one write per
    // line so that requests running side by side never mix their lines.
    const char* refusal = nullptr;
    FILE* file = osOpenPrivateAppend(destination, &refusal);
    if (file == nullptr) {
        noteProblem("audit log %s cannot be opened: %s", destination, refusal);
        return;
    }
    line += '\n';
    osAppendWhole(file, line.data(), line.size());
    fclose(file);
}

}  // namespace

void auditEnd(const char* destination) {
    AuditRecord& r = current.record;
    if (r.event == AuditEvent::kNone) return;
    r.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 current.started)
               .count();
    auditResult("ok");
    auditWrite(destination, r);
    r = AuditRecord{};
}
