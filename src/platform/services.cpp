#include "platform/services.h"

#include <mutex>

namespace tarvo {

namespace {

std::mutex gLock;

std::shared_ptr<const Services>& current()
{
    static std::shared_ptr<const Services> services = std::make_shared<const Services>();
    return services;
}

std::shared_ptr<const Services> exchange(std::shared_ptr<const Services> next)
{
    const std::lock_guard<std::mutex> g(gLock);
    std::swap(current(), next);
    return next;
}

} // namespace

std::shared_ptr<const Services> CurrentServices()
{
    const std::lock_guard<std::mutex> g(gLock);
    return current();
}

ScopedServices::ScopedServices(Services services)
    : previous_(exchange(std::make_shared<const Services>(std::move(services))))
{
}

ScopedServices::ScopedServices(const std::function<void(Services&)>& change)
    : ScopedServices([&change] {
          Services services = *CurrentServices();
          change(services);
          return services;
      }())
{
}

ScopedServices::~ScopedServices()
{
    exchange(std::move(previous_));
}

} // namespace tarvo
