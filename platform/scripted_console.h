#pragma once

#include <deque>
#include <string>

#include "platform/console.h"

namespace korvane {

// Test double of the console: keys and prompt answers come from a script, and everything
// written is kept.
class ScriptedConsole final : public Console {
  public:
    // A key that becomes readable once `afterChecks` further key checks have been made.
    void PushKey(int key, int afterChecks = 0) { keys_.push_back({key, afterChecks}); }
    void PushNumber(long value) { numbers_.push_back({NumberInput::Kind::number, value}); }
    void PushNotANumber() { numbers_.push_back({NumberInput::Kind::notANumber, 0}); }
    void PushInterruption() { numbers_.push_back({NumberInput::Kind::interrupted, 0}); }
    // A request to reopen the log, taken by the next check for one.
    void RequestLogReopen() { ++reopenRequests_; }

    bool KeyWaiting() override {
        ++keyChecks_;
        if (keys_.empty()) {
            return false;
        }
        if (keys_.front().afterChecks > 0) {
            --keys_.front().afterChecks;
            return false;
        }
        return true;
    }
    int ReadKey() override {
        if (keys_.empty()) {
            return -1;
        }
        int key = keys_.front().key;
        keys_.pop_front();
        return key;
    }
    NumberInput ReadNumber() override {
        ++numberReads_;
        if (numbers_.empty()) {
            return {NumberInput::Kind::endOfInput, 0};
        }
        NumberInput input = numbers_.front();
        numbers_.pop_front();
        return input;
    }
    void Write(std::string_view text) override { output_ += text; }
    bool TakeLogReopenRequest() override {
        if (reopenRequests_ == 0) {
            return false;
        }
        --reopenRequests_;
        return true;
    }

    const std::string& output() const { return output_; }
    void ClearOutput() { output_.clear(); }
    int keyChecks() const { return keyChecks_; }
    int numberReads() const { return numberReads_; }
    bool KeysLeft() const { return !keys_.empty(); }

  private:
    struct Key {
        int key;
        int afterChecks;
    };
    std::deque<Key> keys_;
    std::deque<NumberInput> numbers_;
    std::string output_;
    int keyChecks_ = 0;
    int numberReads_ = 0;
    int reopenRequests_ = 0;
};

}  // namespace korvane
