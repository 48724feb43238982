#include "common/application/IApplication.h"

#include <boost/assert.hpp>

namespace common {

IApplication::Factory IApplication::createDelegate;

std::unique_ptr<IApplication> IApplication::create(const std::vector<std::string>& arguments,
                                                   ITaskScheduler& scheduler, IParams& params,
                                                   IQtPlatform* qt) {
    if (!createDelegate) {
        BOOST_ASSERT_MSG(createDelegate != nullptr, "createDelegate is empty");
        return nullptr;
    }
    return createDelegate(arguments, scheduler, params, qt);
}

}  // namespace common
