// SPDX-License-Identifier: GPL-3.0-or-later
#include "replystore.h"

#include "blockreply.h"

namespace quillon {

namespace {
constexpr quint8 kOpReadMeter = 0xF7;
}

bool ReplyStore::keeps(const CommandBlock &request) {
    const quint8 opcode = request[4];
    return (opcode == kOpStatusUpdate || opcode == kOpReadFlags) &&
           expectedReplyLength(request).value_or(0) > 0;
}

bool ReplyStore::onlyReads(const CommandBlock &block) {
    const quint8 opcode = block[4];
    return opcode == kOpStatusUpdate || opcode == kOpReadFlags || opcode == kOpReadMeter;
}

void ReplyStore::put(const CommandBlock &request, const QByteArray &reply, MonotonicClock::time_point at) {
    if (!keeps(request) || reply.size() != expectedReplyLength(request))
        return;
    std::lock_guard lock(m_mutex);
    m_entries[request] = Entry{reply, at};
}

std::optional<QByteArray> ReplyStore::fresh(const CommandBlock &request,
                                            MonotonicClock::time_point now) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(request);
    if (it == m_entries.end() || now - it->second.at >= kMaxAge || now < it->second.at)
        return std::nullopt;
    return it->second.reply;
}

void ReplyStore::sending(const CommandBlock &block) {
    if (onlyReads(block))
        return;
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

} // namespace quillon
