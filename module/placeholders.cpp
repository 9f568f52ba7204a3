// Exports kept for hosts built against the module's first release; the
// library itself never uses them.
#include "Palaver.h"

CPalaver::CPalaver() = default;

CPalaver& CPalaver::operator=(const CPalaver&) {
    return *this;
}

int fnPalaver() {
    return 42;
}

int nPalaver = 0;
