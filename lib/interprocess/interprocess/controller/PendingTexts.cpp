#include "interprocess/controller/PendingTexts.h"

namespace interprocess {

bool PendingTexts::add(helper::ApplicationType peer, Text text, std::size_t& size) {
    std::lock_guard lock(mutex_);
    auto& bytes = bytes_[peer];
    if (bytes + text.text.size() > kMaxBytes) {
        return false;
    }
    bytes += text.text.size();
    auto& list = texts_[peer];
    list.push_back(std::move(text));
    size = list.size();
    return true;
}

bool PendingTexts::addBehind(helper::ApplicationType peer, Text text, bool& kept,
                             std::size_t& size) {
    std::lock_guard lock(mutex_);
    auto& list = texts_[peer];
    if (list.empty() && sending_.count(peer) == 0) {
        return false;
    }
    auto& bytes = bytes_[peer];
    kept = bytes + text.text.size() <= kMaxBytes;
    if (kept) {
        bytes += text.text.size();
        list.push_back(std::move(text));
        size = list.size();
    }
    return true;
}

bool PendingTexts::waiting(helper::ApplicationType peer) const {
    std::lock_guard lock(mutex_);
    const auto found = texts_.find(peer);
    return (found != texts_.end() && !found->second.empty()) || sending_.count(peer) != 0;
}

std::size_t PendingTexts::count(helper::ApplicationType peer) const {
    std::lock_guard lock(mutex_);
    const auto found = texts_.find(peer);
    return found != texts_.end() ? found->second.size() : 0;
}

bool PendingTexts::startSending(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    return sending_.insert(peer).second;
}

std::vector<PendingTexts::Text> PendingTexts::take(helper::ApplicationType peer, uid_t user) {
    std::lock_guard lock(mutex_);
    std::vector<Text> taken;
    std::vector<Text> left;
    auto& list = texts_[peer];
    for (auto& text : list) {
        (mayGo(text.user, user) ? taken : left).push_back(std::move(text));
    }
    list.swap(left);
    bytes_[peer] = bytesOf(peer);
    if (taken.empty()) {
        sending_.erase(peer);
    }
    return taken;
}

void PendingTexts::endSending(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    sending_.erase(peer);
}

std::size_t PendingTexts::putBack(helper::ApplicationType peer, std::vector<Text> texts) {
    std::lock_guard lock(mutex_);
    auto& list = texts_[peer];
    list.insert(list.begin(), std::make_move_iterator(texts.begin()),
                std::make_move_iterator(texts.end()));
    bytes_[peer] = bytesOf(peer);
    sending_.erase(peer);
    return list.size();
}

std::size_t PendingTexts::bytesOf(helper::ApplicationType peer) const {
    std::size_t bytes = 0;
    const auto found = texts_.find(peer);
    if (found != texts_.end()) {
        for (const auto& text : found->second) {
            bytes += text.text.size();
        }
    }
    return bytes;
}

}  // namespace interprocess
