// The desktop parts of the program: the notification icon, its popup menu,
// message boxes, the language choice and starting other programs. The daemon
// runs headless: LinuxDesktop traces the icon, asks questions on the terminal
// when standard input is one (otherwise $BW_QUESTION_ANSWER answers, "yes"
// when unset), takes the language from the terminal or $BW_LANGUAGE and starts
// programs with posix_spawn. (Tests script a desktop of their own.)
// Nothing here fails loudly: a program that cannot be started reports false.
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
    /// Shows the popup menu with these captions; the chosen index, or -1.
    virtual int PopupMenu(const std::vector<std::string>& captions) = 0;
    /// Yes/No question with the exclamation symbol, No the default button.
    virtual bool AskYesNo(const std::string& text, const std::string& title) = 0;
    virtual void ShowMessage(const std::string& text, const std::string& title) = 0;
    /// Offers the languages; the chosen name, or empty when nothing was chosen.
    virtual std::string ChooseLanguage(const std::vector<std::string>& names) = 0;
    /// Starts a program in a normal window; false when it could not be started.
    virtual bool StartProgram(const std::string& path) = 0;
    /// Opens a document or web address with its default handler; results below
    /// 33 are the platform's error codes (2 file not found, 31 no association).
    virtual int OpenDocument(const std::string& target) = 0;
};

class LinuxDesktop final : public Desktop {
  public:
    /// `log` receives the question and its answer (the event log).
    explicit LinuxDesktop(std::function<void(const std::string&)> log = {})
        : log_(std::move(log)) {}
    void AddIcon(const std::string& tip) override;
    void RemoveIcon() override;
    int PopupMenu(const std::vector<std::string>& captions) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;
    void ShowMessage(const std::string& text, const std::string& title) override;
    std::string ChooseLanguage(const std::vector<std::string>& names) override;
    bool StartProgram(const std::string& path) override;
    int OpenDocument(const std::string& target) override;

  private:
    std::function<void(const std::string&)> log_;
};

/// One line to standard error when $BW_DEBUG is set (the debug trace).
void DebugTrace(const std::string& text);

}  // namespace bw
