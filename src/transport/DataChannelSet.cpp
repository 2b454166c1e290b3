#include "transport/DataChannelSet.h"

#include "transport/DataChannelEstablishment.h"

#include <spdlog/spdlog.h>

#include <algorithm>

namespace veltrix {

namespace {

namespace dc = datachannel;

// Bytes handed to SCTP per call; its send buffer bounds what it holds.
constexpr std::size_t kSendPiece = 256 * 1024;
// The priority an OPEN carries (what WebRTC peers call "low", their default).
constexpr std::uint16_t kChannelPriority = 256;
// Channels of other labels that the peer may open (each is closed again at once).
constexpr std::size_t kMaxForeignStreams = 64;

const SctpAssociation::SendOptions kEstablishment{};  // ordered, reliable

}  // namespace

DataChannelSet::DataChannelSet(std::vector<Spec> specs, Status* status, std::shared_ptr<DeliveryWindow> window,
                               Events events)
    : status_(status), window_(std::move(window)), events_(std::move(events)) {
    for (Spec& spec : specs) {
        Channel channel;
        channel.options.ordered = spec.ordered;
        channel.spec = std::move(spec);
        channels_.push_back(std::move(channel));
    }
}

void DataChannelSet::attach(SctpAssociation* sctp, bool evenStreams) {
    sctp_ = sctp;
    evenStreams_ = evenStreams;
}

void DataChannelSet::openAll() {
    if (!sctp_) return;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        Channel& channel = channels_[i];
        if (channel.stream >= 0) continue;
        channel.stream = static_cast<int>(2 * i + (evenStreams_ ? 0 : 1));
        channel.opening = true;
        dc::OpenMessage open;
        open.channelType = channel.spec.ordered ? dc::kReliable : (dc::kReliable | dc::kUnorderedFlag);
        open.priority = kChannelPriority;
        open.label = channel.spec.label;
        const std::vector<std::uint8_t> wire = open.serialize();
        if (sctp_->send(static_cast<std::uint16_t>(channel.stream), dc::kPpidControl, kEstablishment, wire.data(),
                        wire.size(), true) != static_cast<std::int64_t>(wire.size()))
            spdlog::warn("DataChannelSet: opening '{}' failed", channel.spec.label);
    }
}

void DataChannelSet::receive() {
    while (sctp_ && window_->hasRoom()) {
        auto message = sctp_->receive();
        if (!message) return;
        handle(std::move(*message));
    }
}

void DataChannelSet::handle(SctpAssociation::Message&& message) {
    switch (message.ppid) {
    case dc::kPpidControl:
        handleEstablishment(message.stream, message.data);
        return;
    case dc::kPpidBinary:
    case dc::kPpidBinaryEmpty: {
        const int index = channelOnStream(message.stream);
        if (index < 0) return;
        Channel& channel = channels_[static_cast<std::size_t>(index)];
        // Data before the ACK opens the channel as the ACK would.
        if (channel.opening && !channel.open) markOpen(index);
        if (!channel.open) return;
        QByteArray data = message.ppid == dc::kPpidBinaryEmpty ? QByteArray() : std::move(message.data);
        auto ticket = window_->admit(static_cast<std::uint64_t>(data.size()));
        events_.message(index, std::move(data), std::move(ticket));
        return;
    }
    case dc::kPpidString:
    case dc::kPpidStringEmpty:
        return;  // text messages are not part of the protocol
    default:
        spdlog::debug("DataChannelSet: message with payload identifier {} on stream {} ignored", message.ppid,
                      message.stream);
        return;
    }
}

void DataChannelSet::handleEstablishment(std::uint16_t stream, const QByteArray& data) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.constData());
    const auto size = static_cast<std::size_t>(data.size());
    if (dc::isAckMessage(bytes, size)) {
        const int index = channelOnStream(stream);
        if (index >= 0 && channels_[static_cast<std::size_t>(index)].opening &&
            !channels_[static_cast<std::size_t>(index)].open)
            markOpen(index);
        return;
    }
    std::string error;
    const auto open = dc::OpenMessage::parse(bytes, size, &error);
    if (!open) {
        spdlog::warn("DataChannelSet: malformed establishment message on stream {} ({}), ignored", stream, error);
        return;
    }
    if (channelOnStream(stream) >= 0 ||
        std::find(foreignStreams_.begin(), foreignStreams_.end(), stream) != foreignStreams_.end()) {
        spdlog::warn("DataChannelSet: channel '{}' opened on stream {}, which is in use; ignored", open->label, stream);
        return;
    }
    const auto found = std::find_if(channels_.begin(), channels_.end(), [&](const Channel& channel) {
        return channel.spec.label == open->label && channel.stream < 0 && !channel.opening;
    });
    if (found == channels_.end()) {
        events_.incomingChannel(open->label, -1);
        if (foreignStreams_.size() < kMaxForeignStreams) foreignStreams_.push_back(stream);
        sctp_->resetStream(stream);  // not kept: closed again
        return;
    }
    const int index = static_cast<int>(found - channels_.begin());
    found->stream = stream;
    found->options.ordered = open->ordered();
    switch (open->channelType & ~dc::kUnorderedFlag) {
    case dc::kPartialReliableRexmit:
        found->options.partial = SctpAssociation::SendOptions::Partial::Rexmit;
        break;
    case dc::kPartialReliableTimed:
        found->options.partial = SctpAssociation::SendOptions::Partial::Timed;
        break;
    default:
        found->options.partial = SctpAssociation::SendOptions::Partial::None;
        break;
    }
    found->options.prValue = open->reliabilityParameter;
    const std::vector<std::uint8_t> ack = dc::ackMessage();
    sctp_->send(stream, dc::kPpidControl, kEstablishment, ack.data(), ack.size(), true);
    events_.incomingChannel(open->label, index);
    markOpen(index);
}

void DataChannelSet::onIncomingStreamReset(std::uint16_t stream) {
    const auto foreign = std::find(foreignStreams_.begin(), foreignStreams_.end(), stream);
    if (foreign != foreignStreams_.end()) {
        foreignStreams_.erase(foreign);
        return;
    }
    const int index = channelOnStream(stream);
    if (index >= 0) markClosed(index);
}

void DataChannelSet::enqueue(int index, QByteArray data, bool text) {
    Channel& channel = channels_[static_cast<std::size_t>(index)];
    if (!channel.open) {
        status_[index].buffered -= static_cast<std::uint64_t>(data.size());
        return;
    }
    channel.queue.push_back(Outgoing{std::move(data), text, 0});
    pump();
}

void DataChannelSet::pump() {
    while (sctp_ && sctp_->isConnected()) {
        int index = sending_;
        for (std::size_t turn = 0; index < 0 && turn < channels_.size(); ++turn) {
            const int candidate = static_cast<int>((static_cast<std::size_t>(nextTurn_) + turn) % channels_.size());
            if (!channels_[static_cast<std::size_t>(candidate)].queue.empty()) index = candidate;
        }
        if (index < 0 || !sendFront(index)) return;
        if (sending_ < 0) nextTurn_ = index + 1;
    }
}

bool DataChannelSet::sendFront(int index) {
    Channel& channel = channels_[static_cast<std::size_t>(index)];
    Outgoing& out = channel.queue.front();
    const auto size = static_cast<std::uint64_t>(out.data.size());
    const auto stream = static_cast<std::uint16_t>(channel.stream);
    if (size == 0) {
        // SCTP carries no empty message: one zero byte with the "empty" identifier stands for it.
        static const std::uint8_t zero = 0;
        const std::int64_t sent = sctp_->send(stream, out.text ? dc::kPpidStringEmpty : dc::kPpidBinaryEmpty,
                                              channel.options, &zero, 1, true);
        if (sent <= 0) return false;
        channel.queue.pop_front();
        return true;
    }
    const std::uint64_t remaining = size - out.offset;
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kSendPiece));
    const bool last = piece == remaining;
    const std::int64_t sent =
        sctp_->send(stream, out.text ? dc::kPpidString : dc::kPpidBinary, channel.options,
                    reinterpret_cast<const std::uint8_t*>(out.data.constData()) + out.offset, piece, last);
    if (sent <= 0) return false;
    out.offset += static_cast<std::uint64_t>(sent);
    status_[index].buffered -= static_cast<std::uint64_t>(sent);
    if (out.offset < size) {
        sending_ = index;
        return static_cast<std::size_t>(sent) == piece;
    }
    sending_ = -1;
    channel.queue.pop_front();
    return true;
}

void DataChannelSet::markOpen(int index) {
    Channel& channel = channels_[static_cast<std::size_t>(index)];
    channel.opening = false;
    channel.open = true;
    status_[index].open = true;
    events_.channelOpen(index);
}

void DataChannelSet::markClosed(int index) {
    Channel& channel = channels_[static_cast<std::size_t>(index)];
    if (channel.closed) return;
    channel.closed = true;
    channel.open = channel.opening = false;
    status_[index].open = false;
    // A message half handed to SCTP must be finished (its stream is held until it ends); the rest
    // of the queue goes.
    const std::size_t keep = sending_ == index ? 1 : 0;
    while (channel.queue.size() > keep) {
        const Outgoing& dropped = channel.queue.back();
        status_[index].buffered -= static_cast<std::uint64_t>(dropped.data.size()) - dropped.offset;
        channel.queue.pop_back();
    }
    if (sctp_) sctp_->resetStream(static_cast<std::uint16_t>(channel.stream));
    events_.channelClosed(index);
}

bool DataChannelSet::drained() const {
    return std::all_of(channels_.begin(), channels_.end(),
                       [](const Channel& channel) { return channel.queue.empty(); });
}

void DataChannelSet::detach() {
    sctp_ = nullptr;
    sending_ = -1;
    for (std::size_t i = 0; i < channels_.size(); ++i) {
        channels_[i].queue.clear();
        channels_[i].open = channels_[i].opening = false;
        status_[i].open = false;
        status_[i].buffered = 0;
    }
}

int DataChannelSet::channelOnStream(std::uint16_t stream) const {
    for (std::size_t i = 0; i < channels_.size(); ++i)
        if (channels_[i].stream == stream) return static_cast<int>(i);
    return -1;
}

}  // namespace veltrix
