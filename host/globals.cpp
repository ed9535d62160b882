#include "host/globals.h"

#include "host/textfile.h"
#include "platform/db.h"
#include "platform/service.h"

namespace bw {

namespace {
std::unique_ptr<Globals>& Slot() {
    static std::unique_ptr<Globals> g = std::make_unique<Globals>();
    return g;
}
}  // namespace

Globals::Globals()
    : files(std::make_unique<SettingsFiles>(AppPath, AccPath, [this](const std::string& text) {
          if (service != nullptr) service->LogEvent(2, 110, text);
      })) {}
Globals::~Globals() = default;

Globals& G() {
    return *Slot();
}

void ResetGlobals() {
    Slot() = std::make_unique<Globals>();
}

}  // namespace bw
