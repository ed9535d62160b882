// INI files (AccInfo.ini): a section, a key and a value line, then the file.
// Besides surviving any text: a value written is read back, and the saved
// layout is stable (saving what was loaded from a save changes nothing).
#include "fuzz/fuzz_input.h"
#include "host/ini.h"
#include "host/textfile.h"

using namespace bw;

namespace {
// Names a person can type and find again: no line end, no "[", "]" or "=",
// and no blanks at either end (the saved layout trims lines).
bool Findable(const std::string& s) {
    return !s.empty() && IsValidININame(s) && s.find('\r') == std::string::npos &&
           s.front() != ' ' && s.back() != ' ';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::string section = in.Line();
    const std::string key = in.Line();
    const std::string value = in.Line();
    IniDocument doc;
    doc.LoadText(in.Rest());
    doc.Get(section, key, "");

    const std::string saved = doc.Text();
    doc.LoadText(saved);
    BW_FUZZ_CHECK(doc.Text() == saved);

    if (Findable(section) && Findable(key) && value.find('\r') == std::string::npos) {
        doc.Set(section, key, value);
        doc.LoadText(doc.Text());
        BW_FUZZ_CHECK(doc.Get(section, key, "\x01") == TrimBlanks(value));
    }
    return 0;
}
