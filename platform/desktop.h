// The desktop parts of the program that a headless daemon still has: the
// status icon, the shutdown's question and the language choice. LinuxDesktop
// traces the icon, asks questions on the terminal when standard input is one
// (otherwise $BW_QUESTION_ANSWER answers, "yes" when unset) and takes the
// language from the terminal or $BW_LANGUAGE. There is no tray to click, so
// no menu. (Tests script a desktop of their own.)
// Nothing here fails loudly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

class Desktop {
  public:
    virtual ~Desktop() = default;
    virtual void AddIcon(const std::string& tip) = 0;
    virtual void RemoveIcon() = 0;
    /// Yes/No question with the exclamation symbol, No the default button.
    virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;
    /// Offers the languages; the chosen name, or empty when nothing was chosen.
    virtual std::string ChooseLanguage(const std::vector<std::string>& names) = 0;
};

class LinuxDesktop final : public Desktop {
  public:
    /// `log` receives the question and its answer (the event log).
    explicit LinuxDesktop(std::function<void(const std::string&)> log = {})
        : log_(std::move(log)) {}
    void AddIcon(const std::string& tip) override;
    void RemoveIcon() override;
    bool AskYesNo(const std::string& text, const std::string& title) override;
    std::string ChooseLanguage(const std::vector<std::string>& names) override;

  private:
    std::function<void(const std::string&)> log_;
};

/// One line to standard error when $BW_DEBUG is set (the debug trace).
void DebugTrace(const std::string& text);

}  // namespace bw
