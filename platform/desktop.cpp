#include "platform/desktop.h"

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "platform/ascii_text.h"

namespace bw {

namespace {

/// A terminal we may ask on: standard input is one, it is our controlling
/// terminal and we are in its foreground. A daemon started with "&" from a
/// shell would otherwise be stopped (SIGTTIN) at the question, and one whose
/// input is some other terminal would wait for an answer nobody gives.
bool StdinIsTerminal() {
    if (::isatty(STDIN_FILENO) != 1) return false;
    const pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
    return foreground != -1 && foreground == ::getpgrp();
}

}  // namespace

void DebugTrace(const std::string& text) {
    const char* dbg = std::getenv("BW_DEBUG");
    if (dbg != nullptr && *dbg != '\0' && std::string(dbg) != "0") {
        std::cerr << "BWTarnOUT [debug]: " << text << std::endl;
    }
}

void LinuxDesktop::AddIcon(const std::string& tip) {
    DebugTrace("notification icon added, tip \"" + tip + "\"");
}

void LinuxDesktop::RemoveIcon() {
    DebugTrace("notification icon removed");
}

bool LinuxDesktop::AskYesNo(const std::string& text, const std::string& title) {
    bool yes = true;
    if (StdinIsTerminal()) {
        std::cerr << title << ": " << text << " [y/N] " << std::flush;
        std::string line;
        yes = std::getline(std::cin, line) && !line.empty() && (line[0] == 'y' || line[0] == 'Y');
    } else {
        const char* env = std::getenv("BW_QUESTION_ANSWER");
        if (env != nullptr && *env != '\0') yes = LowerAscii(env) == "yes";
    }
    if (log_) log_(text + " - answered " + (yes ? "Yes" : "No"));
    return yes;
}

std::string LinuxDesktop::ChooseLanguage(const std::vector<std::string>& names) {
    if (!StdinIsTerminal()) {
        // Only an offered language can be chosen, as in the selection window;
        // the letter case of the variable does not matter.
        const char* env = std::getenv("BW_LANGUAGE");
        if (env == nullptr || *env == '\0') return "";
        for (const auto& name : names) {
            if (LowerAscii(name) == LowerAscii(env)) return name;
        }
        std::cerr << "BWTarnOUT: BW_LANGUAGE=" << env << " names no language file" << std::endl;
        return "";
    }
    std::cerr << "Brimwarden Language Selection\n"
              << "Please choose your language:\n"
              << "Bitte w\xC3\xA4hlen Sie Ihre Sprache:\n"
              << "Voglia scegliere la Sua lingua prego:\n"
              << "Choisissez votre langue s.v.p.:\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::cerr << "  " << (i + 1) << ") " << names[i] << "\n";
    }
    while (true) {
        std::cerr << "Number (Enter to cancel): " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line) || line.empty()) return "";
        char* end = nullptr;
        const long n = std::strtol(line.c_str(), &end, 10);
        if (*end == '\0' && n >= 1 && static_cast<std::size_t>(n) <= names.size()) {
            return names[static_cast<std::size_t>(n - 1)];
        }
        std::cerr << "Please enter a number from 1 to " << names.size() << ".\n";
    }
}

}  // namespace bw
