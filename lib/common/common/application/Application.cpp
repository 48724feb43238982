#include "common/application/Application.h"

#include <boost/assert.hpp>

namespace common {

Application::Application(const std::vector<std::string>& arguments, IParams& params)
    : arguments_(arguments), params_(params) {
    setDelegate(nullptr);
}

Application::~Application() {
    setDelegate(nullptr);
}

void Application::onLocalSocketMessage(const std::string& /*message*/) {}

void Application::quit() {
    BOOST_ASSERT_MSG(false,
                     "Base class quit function implementation is called. Overwrite it if you are "
                     "planning to call it.");
}

bool Application::flagA() const {
    return flagA_;
}

bool Application::flagB() const {
    return flagB_;
}

int Application::exitCode() const {
    return 0;
}

}  // namespace common
