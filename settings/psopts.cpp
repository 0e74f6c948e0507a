// see psopts.h
// Until the settings store exists, the defaults read as empty and cannot be written.
#include "settings/psopts.h"

int psReadDefaultFile(OptionsRecord*) {
    return 0;
}
int psWriteDefaultFile(const OptionsRecord*) {
    return -1;
}
void psDeleteDefaultFile(int) {}
