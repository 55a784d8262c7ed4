#include "platform/iokit/iokit.hpp"

#include <sys/stat.h>

#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <variant>

#include "platform/bootstrap/bootstrap.hpp"
#include "platform/iokit/iokit_frame.hpp"
#include "platform/iokit/kernel_smc_service.hpp"
#include "platform/iokit/socket_user_client.hpp"

// The matching dictionary: only the class name is ever matched on.
struct __IOMatchingDictionary {
    std::string className;
};

const task_port_t mach_task_self_ = 0x103;

namespace quorvane::iokit {
namespace {

struct InProcessService {
    std::shared_ptr<Service> service;
};
struct SocketService {
    std::string path;
};
struct ServiceObject {
    std::variant<InProcessService, SocketService> backend;
};
struct ConnectObject {
    std::shared_ptr<UserClient> client;
    std::shared_ptr<SocketUserClient> socket;  // the same client when served over a socket
};
using Object = std::variant<ServiceObject, ConnectObject>;

// Services and connections share one 32-bit handle space, as Mach port names do. Handles count
// up, skip 0 and skip any handle still live, so a stale handle can never reach a new object
// until 2^32 handles later.
class ObjectTable {
public:
    mach_port_t insert(Object object) {
        std::lock_guard lock(mutex_);
        for (;;) {
            const mach_port_t handle = next_++;
            if (handle == 0 || objects_.count(handle)) continue;
            objects_.emplace(handle, std::move(object));
            return handle;
        }
    }

    template <class T>
    bool copy(mach_port_t handle, T& out) {
        std::lock_guard lock(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end() || !std::holds_alternative<T>(it->second)) return false;
        out = std::get<T>(it->second);
        return true;
    }

    template <class T>
    bool take(mach_port_t handle, T& out) {
        std::lock_guard lock(mutex_);
        const auto it = objects_.find(handle);
        if (it == objects_.end() || !std::holds_alternative<T>(it->second)) return false;
        out = std::move(std::get<T>(it->second));
        objects_.erase(it);
        return true;
    }

private:
    std::mutex mutex_;
    mach_port_t next_ = 1;                              // guarded by mutex_
    std::unordered_map<mach_port_t, Object> objects_;  // guarded by mutex_
};

ObjectTable& objects() {
    static ObjectTable* table = new ObjectTable();  // outlives static destructors that close clients
    return *table;
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<Service>> services;  // guarded by mutex
};

Registry& registry() {
    static Registry* instance = new Registry();
    return *instance;
}

std::shared_ptr<Service> registeredService(const std::string& className) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    const auto it = reg.services.find(className);
    return it == reg.services.end() ? nullptr : it->second;
}

// A class name names a file in the bootstrap directory: never a path of its own.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool isSocket(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace

void registerService(const std::string& className, std::shared_ptr<Service> service) {
    if (!service) throw std::invalid_argument("registerService: null service for \"" + className + "\"");
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.services[className] = std::move(service);
}

void unregisterService(const std::string& className) {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    reg.services.erase(className);
}

}  // namespace quorvane::iokit

using namespace quorvane::iokit;

CFMutableDictionaryRef IOServiceMatching(const char* name) {
    if (!name) return nullptr;
    try {
        return new __IOMatchingDictionary{name};
    } catch (...) {
        return nullptr;
    }
}

io_service_t IOServiceGetMatchingService(mach_port_t /*mainPort*/, CFDictionaryRef matching) {
    if (!matching) return 0;
    const std::string className = matching->className;
    delete matching;
    try {
        if (auto service = registeredService(className)) {
            return objects().insert(ServiceObject{InProcessService{std::move(service)}});
        }
        // The SMC of the machine itself, when the kernel's driver is chosen.
        if (className == "AppleSMC" && smcBackend().kind != SMCBackend::Kind::socket) {
            auto kernel = kernelSMCService();
            return kernel ? objects().insert(ServiceObject{InProcessService{std::move(kernel)}}) : 0;
        }
        if (className == "AppleSMC" && !smcBackend().error.empty()) return 0;
        if (!isPlainName(className)) return 0;
        std::string path = quorvane::bootstrap::socketPath(className);
        if (!isSocket(path)) return 0;
        return objects().insert(ServiceObject{SocketService{std::move(path)}});
    } catch (...) {
        return 0;
    }
}

kern_return_t IOObjectRelease(io_object_t object) {
    ServiceObject released;
    return objects().take(object, released) ? kIOReturnSuccess : kIOReturnBadArgument;
}

kern_return_t IOServiceOpen(io_service_t service, task_port_t /*owningTask*/, std::uint32_t type,
                            io_connect_t* connect) {
    if (!connect) return kIOReturnBadArgument;
    *connect = 0;
    ServiceObject object;
    if (!objects().copy(service, object)) return kIOReturnBadArgument;
    try {
        ConnectObject opened;
        if (const auto* local = std::get_if<InProcessService>(&object.backend)) {
            const kern_return_t kr = local->service->open(type, opened.client);
            if (kr != kIOReturnSuccess) return kr;
            if (!opened.client) return kIOReturnError;  // a service that said yes but gave nothing
        } else {
            kern_return_t kr = kIOReturnError;
            opened.socket = SocketUserClient::open(std::get<SocketService>(object.backend).path, type, kr);
            if (!opened.socket) return kr == kIOReturnSuccess ? kIOReturnError : kr;
            opened.client = opened.socket;
        }
        *connect = objects().insert(std::move(opened));
        return kIOReturnSuccess;
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    } catch (...) {
        return kIOReturnError;
    }
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, std::uint32_t selector, const void* input,
                                        std::size_t inputSize, void* output, std::size_t* outputSize) {
    // Same limits for both kinds of service, so a test against the in-process virtual Mac sees what
    // the socket would do.
    const std::size_t capacity = outputSize ? *outputSize : 0;
    if (inputSize > kMaxStructSize || capacity > kMaxStructSize) return kIOReturnBadArgument;
    if ((inputSize > 0 && !input) || (capacity > 0 && !output)) return kIOReturnBadArgument;
    ConnectObject object;  // our own reference: a concurrent IOServiceClose cannot free the client
    if (!objects().copy(connection, object)) return kIOReturnBadArgument;
    try {
        std::size_t size = capacity;
        const kern_return_t kr = object.client->callStructMethod(selector, input, inputSize, output, &size);
        if (outputSize) *outputSize = size > capacity ? capacity : size;
        return kr;
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    } catch (...) {
        return kIOReturnError;
    }
}

kern_return_t IOServiceClose(io_connect_t connect) {
    ConnectObject object;
    if (!objects().take(connect, object)) return kIOReturnBadArgument;
    // Wakes a call blocked on the socket; the descriptor itself goes with the last reference.
    if (object.socket) object.socket->shutdown();
    return kIOReturnSuccess;
}
