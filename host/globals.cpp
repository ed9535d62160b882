#include "host/globals.h"

#include "db/shared_main.h"
#include "platform/db.h"

namespace bw {

namespace {
std::unique_ptr<Globals>& Slot() {
    static std::unique_ptr<Globals> g = std::make_unique<Globals>();
    return g;
}
}  // namespace

Globals::Globals() = default;
Globals::~Globals() = default;

Globals& G() {
    return *Slot();
}

void ResetGlobals() {
    Slot() = std::make_unique<Globals>();
}

}  // namespace bw
