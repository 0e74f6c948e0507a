// see pswebusers.h
#include "settings/pswebusers.h"

#include <strings.h>
#include <algorithm>
#include <cstring>

#include "common/limits.h"
#include "common/trace.h"
#include "settings/pssec.h"
#include "settings/registry.h"
#include "settings/regwhole.h"
#include "settings/settingskeys.h"

static constexpr const char kTraceSource[] = "pswebusers";

namespace {

// The web user a sub-key of "WebUserInfo" belongs to, or an empty text. A key set aside by a
// replacement that did not finish still holds that user's pair (readers take it); a key still being
// written counts only for `withUnfinished` (so that a deletion clears it).
std::string ownerOf(const std::string& name, bool withUnfinished) {
    for (const char* suffix : {kRegWholeOldSuffix, kRegWholeNewSuffix}) {
        size_t length = strlen(suffix);
        if (name.size() <= length || name.compare(name.size() - length, length, suffix) != 0) {
            continue;
        }
        if (suffix == kRegWholeNewSuffix && !withUnfinished) return {};
        return name.substr(0, name.size() - length);
    }
    return name;
}

// Every web user with a key below "WebUserInfo", or false when they cannot be read. No key is no
// names.
bool subKeyNames(std::vector<std::string>* names, bool traceMissing, bool withUnfinished = false) {
    names->clear();
    RegTransaction snapshot(RegTxMode::kRead);
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, kWebUsersKeyPath, &key, &rc)) {
        if (rc == ERROR_FILE_NOT_FOUND && !traceMissing) return true;
        TRACE("(%s, %i) WebUserInfo: RegOpenPathEx(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
        return rc == ERROR_FILE_NOT_FOUND;
    }
    char name[kRegKeyNameMax + 1];
    DWORD index = 0;
    while (enumRegSubKey(key, index, name, sizeof name, &rc)) {
        std::string owner = ownerOf(name, withUnfinished);
        if (!owner.empty() && std::find(names->begin(), names->end(), owner) == names->end()) {
            names->push_back(owner);
        }
        ++index;
    }
    (void)RegCloseKey(key);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    TRACE("(%s, %i) WebUserInfo: enumRegSubKey(): Win32 RC = %d.\n", TRACE_AT,
          static_cast<int>(rc));
    return false;
}

void deleteKeyAt(const char* path) {
    HKEY key = nullptr;
    LONG rc = ERROR_SUCCESS;
    if (!RegOpenPathEx(HKEY_LOCAL_MACHINE, path, &key, &rc)) return;
    if (!deleteRegKey(key, nullptr, &rc)) {
        TRACE("(%s, %i) psDeleteWebUsers(): deleteRegKey(): Win32 RC = %d.\n", TRACE_AT,
              static_cast<int>(rc));
    }
    (void)RegCloseKey(key);
}

}  // namespace

bool psWebUserNameValid(const char* name) {
    if (name == nullptr) return false;
    size_t length = strnlen(name, kWebUserNameMax + 1);
    if (length == 0 || length > kWebUserNameMax) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f || c == '\\') return false;
    }
    return true;
}

std::string psWebUserKeyPath(const char* name) {
    return std::string(kWebUsersKeyPath) + "\\" + name;
}

WebUserLookup psFindWebUser(const char* name) {
    std::vector<std::string> names;
    if (!psWebUserNameValid(name) || !subKeyNames(&names, false)) return WebUserLookup::kNone;
    WebUserLookup found = WebUserLookup::kNone;
    for (const std::string& stored : names) {
        if (stored == name) return WebUserLookup::kStored;
        if (strcasecmp(stored.c_str(), name) == 0) found = WebUserLookup::kOtherSpelling;
    }
    return found;
}

int psListWebUsers(std::vector<std::string>* names) {
    return subKeyNames(names, false) ? 0 : -1;
}

void psDeleteWebUsers() {
    std::vector<std::string> names;
    (void)subKeyNames(&names, true, true);
    for (const std::string& name : names)
        (void)psDeletePairAt(psWebUserKeyPath(name.c_str()).c_str());
    deleteKeyAt(kWebUsersKeyPath);
}
