// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <optional>

namespace quillon::rigctlproto {

// Hamlib's rigctld network protocol (4.5, as Debian 12 has it), text only: which commands there
// are, how a stream of them is cut up, and how answers are written. The radio is not here.

// One of rigctld's commands: its letter (or rigctld's own number for the ones with only a long
// name), its long name, and how many arguments it reads.
struct CommandInfo {
    int code;
    const char *name;
    int inputs;
    bool restOfLine; // its one argument is the rest of the line (send_cmd, send_morse)
    bool answers;    // it answers values; in the default form no RPRT 0 follows them
};

inline constexpr int kChkVfo = 0xF0;
inline constexpr int kDumpState = 0x8F;
inline constexpr int kGetPowerstat = 0x88;

const CommandInfo *findCommand(int code);
const CommandInfo *findCommand(QByteArrayView longName);

// One command as rigctld reads it. `extended` and `separator` are what its prefix asked for
// (+ or one of ; | , and the like); rigctld keeps them until the next RPRT line.
struct Command {
    const CommandInfo *info = nullptr; // null: q / Q
    QList<QByteArray> args;
    bool extended = false;
    std::optional<char> separator;
    bool isQuit() const { return info == nullptr; }
    int code() const { return info ? info->code : 'q'; }
};

// Cuts what a client sends into commands exactly where rigctld's reader would: commands may
// share a line or spread over several (arguments are words, as scanf's %s reads them), the
// character right after a command is taken as its separator whatever it is, and unknown
// commands are skipped without a word. Refuses a client whose first line is an HTTP request,
// that sends a line longer than rigctld's argument buffer or any byte that is not text, so that
// a browser's page or a raw CAT program can never have its bytes taken as commands.
class Parser {
public:
    static constexpr qsizetype kMaxLine = 511; // rigctld's MAXARGSZ
    enum class Refusal { None, HttpRequest, LineTooLong, NotText };

    void feed(QByteArrayView bytes);
    // The next whole command, or nothing until more comes (or once refused).
    std::optional<Command> next();
    Refusal refusal() const { return m_refusal; }
    // What the refusal is, in a few words for the log.
    static const char *describe(Refusal refusal);

private:
    void judge(qsizetype from);
    QByteArray m_buffer;
    qsizetype m_lineLength = 0; // bytes since the last line end, for the line limit
    bool m_firstLineDone = false;
    Refusal m_refusal = Refusal::None;
};

// A value in an answer. `label` is written before it in the extended form only ("Frequency: ");
// `ownLine`: rigctld ends it with a newline even in the separator forms (chk_vfo, powerstat).
struct Value {
    QByteArray text;
    const char *label = nullptr;
    bool ownLine = false;
};

// The reply state rigctld keeps between commands: the extended form and its separator last
// until an RPRT line is written.
struct ReplyForm {
    bool extended = false;
    char separator = '\n';
    // Takes in a command's prefix.
    void take(const Command &command);
};

// The answer to `command` as rigctld writes it: in the extended form its echo, then the values
// (for a command that answers and succeeded), then RPRT with the result where rigctld writes one.
// Updates `form` as rigctld does.
QByteArray formatAnswer(const Command &command, ReplyForm &form, const QList<Value> &values, int result);

} // namespace quillon::rigctlproto
