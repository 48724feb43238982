#pragma once

#include <functional>
#include <memory>
#include <utility>

namespace interprocess {

// A completion that is answered exactly once: the first call goes through,
// later ones are ignored, and when the last copy goes without any call the
// completion hears false. Copies share the answer, so the completion may
// travel through queued tasks and handler tables that are dropped.
class OnceCallback {
public:
    explicit OnceCallback(std::function<void(bool)> callback)
        : state_(std::make_shared<State>(std::move(callback))) {}

    void operator()(bool result) const { state_->answer(result); }

private:
    struct State {
        explicit State(std::function<void(bool)> callback) : callback(std::move(callback)) {}
        ~State() {
            try {
                answer(false);
            } catch (...) {
            }
        }
        void answer(bool result) {
            if (!callback) {
                return;
            }
            auto once = std::move(callback);
            callback = nullptr;
            once(result);
        }
        std::function<void(bool)> callback;
    };

    std::shared_ptr<State> state_;
};

}  // namespace interprocess
