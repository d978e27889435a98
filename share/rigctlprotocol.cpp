// SPDX-License-Identifier: GPL-3.0-or-later
#include "rigctlprotocol.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace quillon::rigctlproto {

namespace {

// rigctld's own table (tests/rigctl_parse.c in Hamlib 4.5): every command must be known here,
// with how many words it reads, or its arguments would be taken for the next commands.
constexpr std::array<CommandInfo, 91> kCommands{{
    {'F', "set_freq", 1, false, false},
    {'f', "get_freq", 0, false, true},
    {'M', "set_mode", 2, false, false},
    {'m', "get_mode", 0, false, true},
    {'I', "set_split_freq", 1, false, false},
    {'i', "get_split_freq", 0, false, true},
    {'X', "set_split_mode", 2, false, false},
    {'x', "get_split_mode", 0, false, true},
    {'K', "set_split_freq_mode", 3, false, false},
    {'k', "get_split_freq_mode", 0, false, true},
    {'S', "set_split_vfo", 2, false, false},
    {'s', "get_split_vfo", 0, false, true},
    {'N', "set_ts", 1, false, false},
    {'n', "get_ts", 0, false, true},
    {'L', "set_level", 2, false, false},
    {'l', "get_level", 1, false, true},
    {'U', "set_func", 2, false, false},
    {'u', "get_func", 1, false, true},
    {'P', "set_parm", 2, false, false},
    {'p', "get_parm", 1, false, true},
    {'G', "vfo_op", 1, false, false},
    {'g', "scan", 2, false, false},
    {'A', "set_trn", 1, false, false},
    {'a', "get_trn", 0, false, true},
    {'R', "set_rptr_shift", 1, false, false},
    {'r', "get_rptr_shift", 0, false, true},
    {'O', "set_rptr_offs", 1, false, false},
    {'o', "get_rptr_offs", 0, false, true},
    {'C', "set_ctcss_tone", 1, false, false},
    {'c', "get_ctcss_tone", 0, false, true},
    {'D', "set_dcs_code", 1, false, false},
    {'d', "get_dcs_code", 0, false, true},
    {0x90, "set_ctcss_sql", 1, false, false},
    {0x91, "get_ctcss_sql", 0, false, true},
    {0x92, "set_dcs_sql", 1, false, false},
    {0x93, "get_dcs_sql", 0, false, true},
    {'V', "set_vfo", 1, false, false},
    {'v', "get_vfo", 0, false, true},
    {'T', "set_ptt", 1, false, false},
    {'t', "get_ptt", 0, false, true},
    {'E', "set_mem", 1, false, false},
    {'e', "get_mem", 0, false, true},
    {'H', "set_channel", 1, false, false},
    {'h', "get_channel", 2, false, false},
    {'B', "set_bank", 1, false, false},
    {'_', "get_info", 0, false, true},
    {'J', "set_rit", 1, false, false},
    {'j', "get_rit", 0, false, true},
    {'Z', "set_xit", 1, false, false},
    {'z', "get_xit", 0, false, true},
    {'Y', "set_ant", 2, false, false},
    {'y', "get_ant", 1, false, true},
    {0x87, "set_powerstat", 1, false, false},
    {kGetPowerstat, "get_powerstat", 0, false, true},
    {0x89, "send_dtmf", 1, false, false},
    {0x8a, "recv_dtmf", 0, false, true},
    {'*', "reset", 1, false, false},
    {'w', "send_cmd", 1, true, true},
    {'W', "send_cmd_rx", 2, false, true},
    {'b', "send_morse", 1, true, false},
    {0xbb, "stop_morse", 0, false, false},
    {0xbc, "wait_morse", 0, false, false},
    {0x94, "send_voice_mem", 1, false, false},
    {0x8b, "get_dcd", 0, false, true},
    {0x8d, "set_twiddle", 1, false, false},
    {0x8e, "get_twiddle", 0, false, true},
    {0x97, "uplink", 1, false, false},
    {0x95, "set_cache", 1, false, false},
    {0x96, "get_cache", 0, false, true},
    {'2', "power2mW", 3, false, true},
    {'4', "mW2power", 3, false, true},
    {'1', "dump_caps", 0, false, false},
    {'3', "dump_conf", 0, false, false},
    {kDumpState, "dump_state", 0, false, true},
    {kChkVfo, "chk_vfo", 0, false, false},
    {0xf2, "set_vfo_opt", 1, false, false},
    {0xf3, "get_vfo_info", 1, false, true},
    {0xf5, "get_rig_info", 0, false, true},
    {0xf4, "get_vfo_list", 0, false, true},
    {0xf6, "get_modes", 0, false, true},
    {0xf9, "get_clock", 0, false, false},
    {0xf8, "set_clock", 1, false, false},
    {0xf1, "halt", 0, false, false},
    {0x8c, "pause", 1, false, false},
    {0x98, "password", 1, false, false},
    {0xf7, "get_mode_bandwidths", 1, false, false},
    {0xa0, "set_separator", 1, false, false},
    {0xa1, "get_separator", 0, false, false},
    {0xa2, "set_lock_mode", 1, false, false},
    {0xa3, "get_lock_mode", 0, false, false},
    {0xa4, "send_raw", 2, false, true},
}};

template <typename Pred> const CommandInfo *findIf(Pred pred) {
    const auto it = std::find_if(kCommands.begin(), kCommands.end(), pred);
    return it == kCommands.end() ? nullptr : &*it;
}

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isLineEnd(char c) { return c == '\n' || c == '\r'; }
bool isText(char c) { return (c >= 0x20 && c <= 0x7E) || c == '\t' || isLineEnd(c); }

// A first line shaped like "GET /path HTTP/1.1": a method in capitals, a target, the version.
bool isHttpRequestLine(QByteArrayView line) {
    qsizetype i = 0;
    while (i < line.size() && line[i] >= 'A' && line[i] <= 'Z')
        ++i;
    if (i == 0 || i >= line.size() || line[i] != ' ')
        return false;
    const qsizetype target = ++i;
    while (i < line.size() && !isSpace(line[i]))
        ++i;
    return i > target && line.sliced(i).startsWith(" HTTP/");
}

// Until its first line is whole, a client that starts like an HTTP request line (capitals and a
// space; rigctld's own "F 14074000" too) is not yet answered.
bool mayBeHttp(QByteArrayView start) {
    qsizetype i = 0;
    while (i < start.size() && start[i] >= 'A' && start[i] <= 'Z')
        ++i;
    return i == start.size() || (i > 0 && start[i] == ' ');
}

// A reader over the buffer that says when it ran out, so that a command cut off by the end of
// what has come is read again whole later.
struct Reader {
    QByteArrayView bytes;
    qsizetype at = 0;
    bool ranOut = false;

    std::optional<char> get() {
        if (at >= bytes.size()) {
            ranOut = true;
            return std::nullopt;
        }
        return bytes[at++];
    }
    // scanf's %s: skips white space, then a word, which ends only at white space.
    std::optional<QByteArray> word() {
        while (at < bytes.size() && isSpace(bytes[at]))
            ++at;
        const qsizetype start = at;
        while (at < bytes.size() && !isSpace(bytes[at]))
            ++at;
        if (at >= bytes.size()) {
            ranOut = true;
            return std::nullopt;
        }
        return bytes.sliced(start, at - start).toByteArray();
    }
    // fgets: the rest of the line, without its end.
    std::optional<QByteArray> line() {
        const qsizetype end = bytes.sliced(at).indexOf('\n');
        if (end < 0) {
            ranOut = true;
            return std::nullopt;
        }
        QByteArray text = bytes.sliced(at, end).toByteArray();
        at += end + 1;
        return text;
    }
};

} // namespace

const CommandInfo *findCommand(int code) {
    return findIf([code](const CommandInfo &c) { return c.code == code; });
}

const CommandInfo *findCommand(QByteArrayView longName) {
    return findIf([longName](const CommandInfo &c) { return longName == QByteArrayView(c.name); });
}

const char *Parser::describe(Refusal refusal) {
    switch (refusal) {
    case Refusal::HttpRequest:
        return "it sent an HTTP request";
    case Refusal::LineTooLong:
        return "it sent a line longer than rigctld takes";
    case Refusal::NotText:
        return "it sent bytes that are not text";
    case Refusal::None:
        break;
    }
    return "";
}

void Parser::feed(QByteArrayView bytes) {
    if (m_refusal != Refusal::None)
        return;
    const qsizetype from = m_buffer.size();
    m_buffer += bytes;
    judge(from);
}

void Parser::judge(qsizetype from) {
    for (qsizetype i = from; i < m_buffer.size(); ++i) {
        const char c = m_buffer[i];
        if (!isText(c)) {
            m_refusal = Refusal::NotText;
            return;
        }
        if (isLineEnd(c)) {
            if (!m_firstLineDone) {
                m_firstLineDone = true;
                if (isHttpRequestLine(QByteArrayView(m_buffer).first(i))) {
                    m_refusal = Refusal::HttpRequest;
                    return;
                }
            }
            m_lineLength = 0;
        } else if (++m_lineLength > kMaxLine) {
            m_refusal = Refusal::LineTooLong;
            return;
        }
    }
}

std::optional<Command> Parser::next() {
    if (m_refusal != Refusal::None)
        return std::nullopt;
    if (!m_firstLineDone && mayBeHttp(m_buffer))
        return std::nullopt;
    for (;;) {
        Reader in{m_buffer};
        Command command;
        const std::optional<char> first = in.get();
        if (!first)
            return std::nullopt;
        char c = *first;
        bool known = true;
        if (c == '+') {
            command.extended = true;
            const auto after = in.get();
            if (!after)
                return std::nullopt;
            c = *after;
        }
        if (c != '\\' && c != '_' && c != '#' && c != '(' && c != ')' &&
            std::ispunct(static_cast<unsigned char>(c))) {
            command.extended = true;
            command.separator = c;
            const auto after = in.get();
            if (!after)
                return std::nullopt;
            c = *after;
        }
        if (c == '\\') {
            // rigctld takes the character after the backslash as it is, then a word.
            const auto head = in.get();
            const auto rest = head ? in.word() : std::nullopt;
            if (!rest)
                return std::nullopt;
            command.info = findCommand(QByteArray(1, *head) + *rest);
            known = command.info != nullptr;
        } else if (c == '#') {
            if (!in.line())
                return std::nullopt;
            known = false;
        } else if (c == 'q' || c == 'Q') {
            m_buffer.remove(0, in.at);
            return command;
        } else {
            command.info = isLineEnd(c) ? nullptr : findCommand(static_cast<unsigned char>(c));
            known = command.info != nullptr;
        }
        for (int k = 0; known && k < command.info->inputs; ++k) {
            std::optional<QByteArray> arg;
            if (command.info->restOfLine) {
                arg = in.line();
                if (arg && arg->endsWith('\r'))
                    arg->chop(1);
                // rigctld drops one leading space, except from Morse, where a space is a space.
                if (arg && command.info->code != 'b' && arg->startsWith(' '))
                    arg->remove(0, 1);
            } else {
                // One character is swallowed before each word, whatever it is.
                arg = in.get() ? in.word() : std::nullopt;
            }
            if (!arg)
                return std::nullopt;
            command.args.append(*arg);
        }
        m_buffer.remove(0, in.at);
        if (known)
            return command;
    }
}

void ReplyForm::take(const Command &command) {
    if (command.extended)
        extended = true;
    if (command.separator)
        separator = *command.separator;
}

QByteArray formatAnswer(const Command &command, ReplyForm &form, const QList<Value> &values, int result) {
    form.take(command);
    QByteArray out;
    const bool chkVfo = command.code() == kChkVfo;
    if (command.isQuit())
        return QByteArrayLiteral("RPRT 0\n");
    if (form.extended && !chkVfo) {
        out += command.info->name;
        out += ':';
        for (const QByteArray &arg : command.args)
            out += ' ' + arg;
        out += form.separator;
    }
    if (result == 0) {
        for (const Value &value : values) {
            if (form.extended && value.label)
                out += QByteArray(value.label) + ": ";
            out += value.text;
            out += value.ownLine ? '\n' : form.separator;
        }
    }
    const bool rprt = result != 0 || (!chkVfo && (form.extended || !command.info->answers));
    if (rprt) {
        out += "RPRT " + QByteArray::number(result) + '\n';
        if (result != 0 || form.extended)
            form = ReplyForm{};
    }
    if (form.separator != '\n')
        out += '\n';
    return out;
}

} // namespace quillon::rigctlproto
