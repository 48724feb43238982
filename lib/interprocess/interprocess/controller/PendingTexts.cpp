#include "interprocess/controller/PendingTexts.h"

namespace interprocess {

bool PendingTexts::add(helper::ApplicationType peer, const std::string& text, std::size_t& size) {
    std::lock_guard lock(mutex_);
    auto& bytes = bytes_[peer];
    if (bytes + text.size() > kMaxBytes) {
        return false;
    }
    bytes += text.size();
    auto& list = texts_[peer];
    list.push_back(text);
    size = list.size();
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

void PendingTexts::startSending(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    sending_.insert(peer);
}

std::vector<std::string> PendingTexts::take(helper::ApplicationType peer) {
    std::lock_guard lock(mutex_);
    std::vector<std::string> taken;
    const auto found = texts_.find(peer);
    if (found == texts_.end() || found->second.empty()) {
        sending_.erase(peer);
        return taken;
    }
    taken.swap(found->second);
    bytes_[peer] = 0;
    return taken;
}

std::size_t PendingTexts::putBack(helper::ApplicationType peer, std::vector<std::string> texts) {
    std::lock_guard lock(mutex_);
    auto& list = texts_[peer];
    list.insert(list.begin(), std::make_move_iterator(texts.begin()),
                std::make_move_iterator(texts.end()));
    std::size_t bytes = 0;
    for (const auto& text : list) {
        bytes += text.size();
    }
    bytes_[peer] = bytes;
    sending_.erase(peer);
    return list.size();
}

}  // namespace interprocess
