// see regwhole.h: what both platform sides share
#include "settings/regwhole.h"

#include <cstring>

namespace {

RegWholeFaultHook faultHook = nullptr;

bool endsWith(const char* text, const char* suffix) {
    size_t length = strlen(text), suffixLength = strlen(suffix);
    return length > suffixLength && strcmp(text + length - suffixLength, suffix) == 0;
}

}  // namespace

bool isRegWholeTemporaryName(const char* name) {
    return name != nullptr &&
           (endsWith(name, kRegWholeNewSuffix) || endsWith(name, kRegWholeOldSuffix));
}

void regSetWholeFaultHook(RegWholeFaultHook hook) {
    faultHook = hook;
}

LONG regWholeStepFault(const char* step) {
    return faultHook != nullptr ? faultHook(step) : ERROR_SUCCESS;
}
