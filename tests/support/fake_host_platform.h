// Fakes of the host's platform parts: a scripted desktop, an instance lock
// that is free or broken, a process end that throws ProcessEnded, and a
// settings store in memory that can simulate failures.
#pragma once

#include <string>
#include <vector>

#include "platform/desktop.h"
#include "platform/instance_lock.h"
#include "platform/process.h"
#include "platform/settings_store.h"

namespace bw {

class FakeDesktop final : public Desktop {
  public:
    void AddIcon(const std::string& tip) override {
        iconShown = true;
        iconTip = tip;
    }
    void RemoveIcon() override { iconShown = false; }
    bool AskYesNo(const std::string& text, const std::string& /*title*/) override {
        questions.push_back(text);
        if (answers.empty()) return false;
        const bool a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    std::string ChooseLanguage(const std::vector<std::string>& names) override {
        offeredLanguages = names;
        return languageChoice;
    }

    bool iconShown = false;
    std::string iconTip;
    std::vector<bool> answers;  // consumed in order; No when empty
    std::vector<std::string> questions;
    std::string languageChoice;
    std::vector<std::string> offeredLanguages;
};

/// Thrown by FakeProcess::EndNow (tests only).
struct ProcessEnded {
    int exitCode;
};

class FakeProcess final : public ProcessControl {
  public:
    [[noreturn]] void EndNow(int exitCode) override {
        lastExitCode = exitCode;
        throw ProcessEnded{exitCode};
    }
    int lastExitCode = -1;
};

class FakeInstanceLock final : public InstanceLock {
  public:
    Result TryAcquire(std::string& reason) override {
        reason = failReason;
        return failReason.empty() ? Result::kAcquired : Result::kFailed;
    }
    std::string failReason;  // non-empty: the lock cannot be taken
};

/// In-memory store; `failReads` / `failWrites` simulate a broken store.
class MemorySettingsStore final : public SettingsStore {
  public:
    Result Query(std::int32_t root, const std::string& keyPath, const std::string& name,
                 RegData& out, std::string& reason) override {
        if (failReads) {
            reason = "simulated read failure";
            return Result::kFailed;
        }
        const RegData* v = doc.Find(FullKeyPath(root, keyPath), name);
        if (v == nullptr) return Result::kMissing;
        out = *v;
        return Result::kOk;
    }
    Result Set(std::int32_t root, const std::string& keyPath, const std::string& name,
               const RegData& value, std::string& reason) override {
        if (failWrites != Result::kOk) {
            reason = "simulated write failure";
            return failWrites;
        }
        doc.Set(FullKeyPath(root, keyPath), name, value);
        return Result::kOk;
    }

    RegDocument doc;
    bool failReads = false;
    Result failWrites = Result::kOk;  // kOpenFailed or kWriteFailed to simulate
};

}  // namespace bw
