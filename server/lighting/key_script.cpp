#include "lighting/key_script.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <limits>

namespace sdk {
namespace {

// Splits on white space and commas; double quotes group, and are removed.
std::vector<std::string> Tokens(std::string_view text, std::string& error) {
    std::vector<std::string> tokens;
    std::string current;
    bool inToken = false;
    bool quoted = false;
    for (char c : text) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            inToken = true;
        } else if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            if (inToken) tokens.push_back(std::move(current));
            current.clear();
            inToken = false;
        } else {
            current += c;
            inToken = true;
        }
    }
    if (quoted) error = "a quote is not closed";
    if (inToken) tokens.push_back(std::move(current));
    return tokens;
}

bool ParseNumber(const std::string& text, int& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || value < 0 || value > std::numeric_limits<int>::max()) return false;
    out = static_cast<int>(value);
    return true;
}

// The key that types a character on a US layout, and whether shift is needed.
bool KeyForCharacter(char c, std::string& name, bool& shift) {
    static const struct {
        char plain;
        char shifted;
        const char* name;
    } kPunctuation[] = {
        {',', '<', "Comma"},       {'.', '>', "Period"},
        {'-', '_', "Minus"},       {'=', '+', "Equal"},
        {';', ':', "Semicolon"},   {'\'', '"', "Quote"},
        {'/', '?', "Slash"},       {'\\', '|', "Backslash"},
        {'[', '{', "LeftBracket"}, {']', '}', "RightBracket"},
        {'`', '~', "Grave"},       {'1', '!', "1"},
        {'2', '@', "2"},           {'3', '#', "3"},
        {'4', '$', "4"},           {'5', '%', "5"},
        {'6', '^', "6"},           {'7', '&', "7"},
        {'8', '*', "8"},           {'9', '(', "9"},
        {'0', ')', "0"},
    };
    shift = false;
    if (std::isalpha(static_cast<unsigned char>(c))) {
        name = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        shift = std::isupper(static_cast<unsigned char>(c)) != 0;
        return true;
    }
    if (c == ' ') {
        name = "Space";
        return true;
    }
    if (c == '\n') {
        name = "Enter";
        return true;
    }
    if (c == '\t') {
        name = "Tab";
        return true;
    }
    for (const auto& entry : kPunctuation) {
        if (c == entry.plain || c == entry.shifted) {
            name = entry.name;
            shift = c == entry.shifted;
            return true;
        }
    }
    return false;
}

void AddTap(std::vector<KeyStep>& steps, int vendorKey) {
    steps.push_back({KeyStep::Kind::kPress, vendorKey, 0});
    steps.push_back({KeyStep::Kind::kRelease, vendorKey, 0});
}

}  // namespace

KeyScript ParseKeyScript(std::string_view text, const DeviceCatalog& catalog) {
    KeyScript script;
    const std::vector<std::string> tokens = Tokens(text, script.error);
    if (!script.error.empty()) return script;

    auto resolve = [&](const std::string& key, int& vendorKey) {
        if (!key.empty() && key[0] == '#') {
            if (ParseNumber(key.substr(1), vendorKey)) return true;
            script.error = "\"" + key + "\" is not a vendor key number";
            return false;
        }
        const auto found = catalog.VendorKeyForName(key);
        if (found) {
            vendorKey = *found;
            return true;
        }
        script.error = "no key is named \"" + key + "\"";
        return false;
    };

    for (const std::string& token : tokens) {
        if (token.empty()) continue;
        if (token.rfind("wait:", 0) == 0) {
            int ms = 0;
            if (!ParseNumber(token.substr(5), ms)) {
                script.error = "\"" + token + "\" needs a number of milliseconds";
                break;
            }
            script.steps.push_back({KeyStep::Kind::kWait, 0, ms});
        } else if (token.rfind("type:", 0) == 0) {
            const auto shiftKey = catalog.VendorKeyForName("LeftShift");
            const std::string text = token.substr(5);
            for (std::size_t at = 0; at < text.size(); ++at) {
                const char c = text[at];
                std::string name;
                bool shift = false;
                int vendorKey = 0;
                if (static_cast<unsigned char>(c) >= 0x80 || !KeyForCharacter(c, name, shift)) {
                    // A character, not one byte of its UTF-8 form, is named.
                    std::size_t end = at + 1;
                    while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) ++end;
                    script.error = "no key types the character '" + text.substr(at, end - at) + "'";
                    break;
                }
                if (!resolve(name, vendorKey)) break;
                if (shift && shiftKey) script.steps.push_back({KeyStep::Kind::kPress, *shiftKey, 0});
                AddTap(script.steps, vendorKey);
                if (shift && shiftKey) script.steps.push_back({KeyStep::Kind::kRelease, *shiftKey, 0});
            }
        } else if (token[0] == '+' || token[0] == '-') {
            if (token.size() < 2) {
                script.error = "\"" + token + "\" names no key";
                break;
            }
            int vendorKey = 0;
            if (!resolve(token.substr(1), vendorKey)) break;
            script.steps.push_back(
                {token[0] == '+' ? KeyStep::Kind::kPress : KeyStep::Kind::kRelease, vendorKey, 0});
        } else {
            int vendorKey = 0;
            if (!resolve(token, vendorKey)) break;
            AddTap(script.steps, vendorKey);
        }
        if (!script.error.empty()) break;
    }
    if (!script.error.empty()) script.steps.clear();
    return script;
}

KeyScriptRunner::KeyScriptRunner(Sink sink, int eventGapMs)
    : sink_(std::move(sink)), eventGapMs_(eventGapMs), thread_([this] { Run(); }) {}

KeyScriptRunner::~KeyScriptRunner() {
    Stop();
}

void KeyScriptRunner::Play(std::vector<KeyStep> steps, bool repeat) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (repeat) {
        repeating_ = std::move(steps);
    } else {
        queue_.insert(queue_.end(), steps.begin(), steps.end());
    }
    changed_.notify_all();
}

bool KeyScriptRunner::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return stopping_ || (queue_.empty() && !busy_); });
}

void KeyScriptRunner::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
}

bool KeyScriptRunner::Pause(std::unique_lock<std::mutex>& lock, int ms) {
    if (ms <= 0) return !stopping_;
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
    return !stopping_;
}

void KeyScriptRunner::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::deque<KeyStep> playing;
    while (!stopping_) {
        if (playing.empty()) {
            busy_ = false;
            changed_.notify_all();
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty() || !repeating_.empty(); });
            if (stopping_) break;
            if (!queue_.empty()) {
                playing.assign(queue_.begin(), queue_.end());
                queue_.clear();
            } else {
                // A pause between rounds keeps a script without key events or waits from spinning.
                if (!Pause(lock, eventGapMs_)) break;
                playing.assign(repeating_.begin(), repeating_.end());
            }
            busy_ = true;
            continue;
        }
        const KeyStep step = playing.front();
        playing.pop_front();
        if (step.kind == KeyStep::Kind::kWait) {
            if (!Pause(lock, step.waitMs)) break;
            continue;
        }
        // The sink reaches the server's own lock; never call it with ours held.
        lock.unlock();
        sink_(step.vendorKey, step.kind == KeyStep::Kind::kPress);
        lock.lock();
        if (!Pause(lock, eventGapMs_)) break;
    }
    busy_ = false;
    changed_.notify_all();
}

}  // namespace sdk
