#include "cli/output.h"

#include <cerrno>
#include <cstring>

namespace cli {

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        } else if (c >= 0xA0) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

bool IsPlainNumber(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '-') ++i;
    const std::size_t int_start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
    if (i == int_start) return false;
    // JSON allows no leading zeros: "07" is not a number there.
    if (s[int_start] == '0' && i - int_start > 1) return false;
    if (i < s.size() && s[i] == '.') {
        const std::size_t frac_start = ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
        if (i == frac_start) return false;
    }
    return i == s.size();
}

JsonLine::JsonLine(std::string_view event) : text_("{\"event\":" + JsonString(event)) {}

void JsonLine::Key(std::string_view key) {
    text_ += ",";
    text_ += JsonString(key);
    text_ += ":";
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view value) {
    Key(key);
    text_ += JsonString(value);
    return *this;
}

JsonLine& JsonLine::Int(std::string_view key, int64_t value) {
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
    Key(key);
    text_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
    Key(key);
    text_ += "null";
    return *this;
}

JsonLine& JsonLine::Number(std::string_view key, std::string_view text) {
    if (!IsPlainNumber(text)) return Null(key);
    Key(key);
    text_ += text;
    return *this;
}

JsonLine& JsonLine::Strs(std::string_view key, const std::vector<std::string>& values) {
    Key(key);
    text_ += "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text_ += ",";
        text_ += JsonString(values[i]);
    }
    text_ += "]";
    return *this;
}

void Output::Message(std::string_view text) {
    Prompt(std::string(text) + "\n");
}

void Output::Prompt(std::string_view text) {
    EndLive();
    std::string line = "lumrax: ";
    line += text;
    std::fwrite(line.data(), 1, line.size(), err_);
    std::fflush(err_);
}

void Output::EndPrompt() {
    std::fputc('\n', err_);
    std::fflush(err_);
}

void Output::Live(std::string_view text) {
    std::string line = "\r";
    line += text;
    line += "\x1b[K";
    std::fwrite(line.data(), 1, line.size(), err_);
    std::fflush(err_);
    live_shown_ = true;
}

void Output::EndLive() {
    if (!live_shown_) return;
    live_shown_ = false;
    std::fputc('\n', err_);
    std::fflush(err_);
}

int Output::Fail(int code, std::string_view text) {
    Message(text);
    if (json_) Emit(JsonLine("error").Int("exit_code", code).Str("message", text));
    return code;
}

void Output::Emit(const JsonLine& line) {
    Write(line.Text() + "\n");
}

void Output::Write(std::string_view bytes) {
    if (out_ == nullptr) return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), out_) != bytes.size() ||
        std::fflush(out_) != 0) {
        if (!out_failed_) out_errno_ = errno;
        out_failed_ = true;
    }
}

bool Output::Healthy() const {
    return !out_failed_ && (out_ == nullptr || std::ferror(out_) == 0);
}

void Output::FailLater(int code, std::string_view text) {
    Fail(code, text);
    if (later_code_ == 0) later_code_ = code;
}

int Output::Finish(int rc) {
    if (out_ != nullptr) {
        bool ok = Healthy();
        int err = out_failed_ ? out_errno_ : 0;
        errno = 0;
        if (std::fflush(out_) != 0 && ok) {
            ok = false;
            err = errno;
        }
        if (std::fclose(out_) != 0 && ok) {
            ok = false;
            err = errno;
        }
        out_ = nullptr;
        if (!ok) {
            Message(std::string("cannot write standard output: ") +
                    (err != 0 ? std::strerror(err) : "write error"));
            if (later_code_ == 0) later_code_ = kExitLocalFile;
        }
    }
    return rc != kExitDone ? rc : later_code_;
}

}  // namespace cli
