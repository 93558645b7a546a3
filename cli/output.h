#pragma once
// What lumrax tells its user: results on standard output (text or one JSON object per
// line), every message and failure as one line on standard error.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

enum ExitCode : int {
    kExitDone = 0,
    kExitLocalFile = 1,
    kExitUsage = 2,
    kExitFileRefused = 3,
    kExitPort = 4,
    kExitTimeout = 5,
    kExitDevice = 6,
    kExitEndMismatch = 7,
    kExitVerify = 8,
    kExitInterrupted = 130,
};

// One JSON object, built field by field. Device and user texts are single-byte
// (Windows-1252) strings; they are carried as Latin-1 in JSON's UTF-8.
class JsonLine {
  public:
    explicit JsonLine(std::string_view event);
    JsonLine& Str(std::string_view key, std::string_view value);
    JsonLine& Int(std::string_view key, int64_t value);
    JsonLine& Bool(std::string_view key, bool value);
    JsonLine& Null(std::string_view key);
    // A number as the device's text gives it ("27.30"); null when it is not one.
    JsonLine& Number(std::string_view key, std::string_view text);
    JsonLine& Strs(std::string_view key, const std::vector<std::string>& values);
    std::string Text() const { return text_ + "}"; }

  private:
    void Key(std::string_view key);
    std::string text_;
};

std::string JsonString(std::string_view s);
// A JSON number exactly as written: optional minus, digits, optional fraction.
bool IsPlainNumber(std::string_view s);

class Output {
  public:
    Output(bool json, std::FILE* out, std::FILE* err) : json_(json), out_(out), err_(err) {}
    bool json() const { return json_; }

    // A line on standard error, prefixed "lumrax: ".
    void Message(std::string_view text);
    // The same without the line end, for an answer typed behind it.
    void Prompt(std::string_view text);
    // The line end of a prompt that got no answer.
    void EndPrompt();
    // A line redrawn in place on standard error (a progress bar); the next message starts
    // on the line below it.
    void Live(std::string_view text);
    void EndLive();
    // A failure: its line on standard error and, with --json, an error object. Returns code.
    int Fail(int code, std::string_view text);
    void Emit(const JsonLine& line);
    // Written and flushed at once; a failure is remembered.
    void Write(std::string_view bytes);
    // False once standard output could not be written (a closed pipe, a full disk).
    bool Healthy() const;
    // A failure that does not end the run (a file that cannot be kept after the device's
    // work is done): its line now, its code at the end unless the run fails otherwise.
    void FailLater(int code, std::string_view text);
    // The run's exit code: rc, else a code of FailLater, else kExitLocalFile when standard
    // output could not be written or closed (its line given). Standard output is closed.
    int Finish(int rc);

  private:
    bool json_;
    std::FILE* out_;
    std::FILE* err_;
    bool live_shown_ = false;
    bool out_failed_ = false;
    int out_errno_ = 0;
    int later_code_ = 0;
};

}  // namespace cli
