// The emission queue: a serial dispatch queue with quality of service
// user-initiated. Compiled with ARC, which releases the queue.
#import <Foundation/Foundation.h>

#include <dispatch/dispatch.h>

#include <functional>
#include <utility>

#include "backend_mac.h"

namespace keychord::platform::mac {

namespace {

class MacSerialQueue final : public SerialQueue {
public:
    // Serial and active from the start, autorelease frequency inherited, no
    // target queue.
    MacSerialQueue()
        : queue_(dispatch_queue_create(
              "com.orvanex.keychord-agent.shortcut-emission",
              dispatch_queue_attr_make_with_qos_class(DISPATCH_QUEUE_SERIAL, QOS_CLASS_USER_INITIATED, 0))) {}

    // No group, no quality-of-service override, no flags: the item runs at
    // the queue's own quality of service.
    void async(std::function<void()> work) override {
        auto shared = std::make_shared<std::function<void()>>(std::move(work));
        dispatch_async(queue_, ^{
          @autoreleasepool {
              (*shared)();
          }
        });
    }

private:
    dispatch_queue_t queue_;
};

}  // namespace

std::shared_ptr<SerialQueue> makeEmissionQueue() { return std::make_shared<MacSerialQueue>(); }

}  // namespace keychord::platform::mac
