// Finds request frames in the raw byte stream from the line, resynchronising on the sync bytes.
#include "kelvaro_sim.h"

namespace kvsim {

void FrameReader::push(const uint8_t *data, std::size_t count, Clock::time_point now) {
    for (std::size_t i = 0; i < count; ++i) {
        take(data[i], now);
    }
    if (count > 0) {
        lastByte_ = now;
    }
}

void FrameReader::take(uint8_t byte, Clock::time_point now) {
    if (size_ == 0 && byte != SYNC_HIGH) {
        skip();
        return;
    }
    if (size_ == 1 && byte != SYNC_LOW) {
        // The 0x00 was not a frame start, but this byte may be one.
        size_ = 0;
        skip();
        take(byte, now);
        return;
    }
    if (size_ == 0) {
        firstByte_ = now;
    }
    partial_[size_++] = byte;
    if (size_ == FRAME_BYTES) {
        ready_.emplace_back(partial_, firstByte_);
        size_ = 0;
        skipping_ = false;
    }
}

void FrameReader::skip() {
    if (!skipping_) {
        skipping_ = true;
        ++badFrames_;
    }
}

bool FrameReader::next(Frame *frame, Clock::time_point *firstByte) {
    if (ready_.empty()) {
        return false;
    }
    *frame = ready_.front().first;
    *firstByte = ready_.front().second;
    ready_.pop_front();
    return true;
}

void FrameReader::dropPartial() {
    if (size_ > 0 && !skipping_) {
        ++badFrames_;
    }
    size_ = 0;
    skipping_ = false;
}

} // namespace kvsim
