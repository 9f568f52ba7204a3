// Placeholder exports: part of the module's interface, which hosts may link
// against; the library itself never uses them.
#include "Palaver.h"

CPalaver::CPalaver() = default;

CPalaver& CPalaver::operator=(const CPalaver&) {
    return *this;
}

int fnPalaver() {
    return 42;
}

int nPalaver = 0;
