// The C interface of the test kit (kivsandbox.h) over testkit::Kit.
#include "kivsandbox.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "actors.h"
#include "testkit/kit.h"
#include "testkit/state_text.h"
#include "world_service.h"

struct KIVSandbox {
    explicit KIVSandbox(const kivsdk::sandbox::Options& options) : kit(options) {}
    kivsdk::testkit::Kit kit;
};

namespace {

using kivsdk::sandbox::Actors;
using kivsdk::sandbox::ActorStatus;
using kivsdk::sandbox::Place;
using kivsdk::testkit::KitThread;

std::string text_of(const char* text) { return text ? text : ""; }

int code_of(ActorStatus status) {
    switch (status) {
        case ActorStatus::kOk: return KIVSB_OK;
        case ActorStatus::kNoActor: return KIVSB_NO_SUCH_ACTOR;
        case ActorStatus::kNoWorld: return KIVSB_NO_SUCH_WORLD;
        case ActorStatus::kRefused: return KIVSB_REFUSED;
        case ActorStatus::kBadValue: return KIVSB_INVALID_ARGUMENT;
    }
    return KIVSB_FAILED;
}

// Runs `work` on the kit's thread; it returns a KIVSB code.
template <class Work>
int on_kit(KIVSandbox* kit, Work&& work) {
    if (!kit) return KIVSB_INVALID_ARGUMENT;
    int rc = KIVSB_FAILED;
    try {
        kit->kit.run([&](KitThread& thread) { rc = work(thread); });
    } catch (...) {
        return KIVSB_FAILED;
    }
    return rc;
}

// An actor's request: `work` returns a Status.
template <class Work>
int by_actor(KIVSandbox* kit, Work&& work) {
    return on_kit(kit, [&](KitThread& thread) { return code_of(work(thread.sandbox.actors())); });
}

// The service of `where`; "" (every client) gives null with true.
bool service_of(KitThread& thread, const std::string& where, kivsdk::server::Service*& service) {
    service = where.empty() ? nullptr : thread.sandbox.service(where);
    return where.empty() || service != nullptr;
}

int copy_text(const std::string& text, char* buffer, size_t capacity, size_t* length) {
    if (length) *length = text.size();
    if (!buffer || capacity <= text.size()) return KIVSB_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return KIVSB_OK;
}

kivsdk::sandbox::ObjectSpec object_of(const char* model, const char* description,
                                      const char* action, double x, double y, double z) {
    kivsdk::sandbox::ObjectSpec object;
    object.strings = {text_of(model), text_of(description), text_of(action)};
    object.x = x, object.y = y, object.z = z;
    return object;
}

Place place_of(double x, double y, double z, double yaw) {
    Place place;
    place.x = x, place.y = y, place.z = z;
    place.yaw = static_cast<float>(yaw);
    return place;
}

// The certificates installed beside this library (lib/../share/...), when
// they are there; else the build's own.
std::string find_pki_dir() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&kivsb_pki_dir), &info) != 0 && info.dli_fname) {
        std::string folder = info.dli_fname;
        folder.erase(folder.find_last_of('/') + 1);
        folder += KIVSDK_TESTKIT_INSTALLED_PKI;
        if (::access((folder + "/universe-server.pem").c_str(), R_OK) == 0) return folder;
    }
    return KIVSDK_TESTKIT_PKI_DIR;
}

}  // namespace

extern "C" {

int kivsb_start(const char* const* arguments, int count, char* error, size_t error_size,
                KIVSandbox** kit) {
    const auto fail = [&](int rc, const std::string& why) {
        if (error && error_size > 0) std::snprintf(error, error_size, "%s", why.c_str());
        return rc;
    };
    if (!kit) return fail(KIVSB_INVALID_ARGUMENT, "no place for the kit");
    *kit = nullptr;
    if (count < 0 || (count > 0 && !arguments)) return fail(KIVSB_INVALID_ARGUMENT, "no options");
    try {
        std::vector<std::string> words;
        for (int i = 0; i < count; ++i) words.push_back(text_of(arguments[i]));
        kivsdk::sandbox::Options options;
        try {
            options = kivsdk::testkit::kit_options(words, kivsb_pki_dir());
        } catch (const std::invalid_argument& e) {
            return fail(KIVSB_INVALID_ARGUMENT, e.what());
        }
        *kit = new KIVSandbox(options);
        return KIVSB_OK;
    } catch (const std::bad_alloc&) {
        return fail(KIVSB_FAILED, "out of memory");
    } catch (const std::exception& e) {
        return fail(KIVSB_START_FAILED, e.what());
    }
}

int kivsb_stop(KIVSandbox* kit) {
    delete kit;
    return KIVSB_OK;
}

const char* kivsb_pki_dir(void) {
    const char* chosen = std::getenv("KIVSDK_SANDBOX_PKI");
    if (chosen && *chosen) return chosen;
    static const std::string found = find_pki_dir();
    return found.c_str();
}

int kivsb_universe_port(KIVSandbox* kit, int* port) {
    if (!port) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        *port = thread.sandbox.universe_port();
        return KIVSB_OK;
    });
}

int kivsb_world_port(KIVSandbox* kit, const char* world, int* port) {
    if (!port) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        *port = thread.sandbox.world_port(text_of(world));
        return *port < 0 ? KIVSB_NO_SUCH_WORLD : KIVSB_OK;
    });
}

// ---- Actors ----------------------------------------------------------------

int kivsb_actor_enter(KIVSandbox* kit, const char* name, const char* world, double x, double y,
                      double z, double yaw, int avatar_type, int* session) {
    std::int32_t entered = 0;
    const int rc = by_actor(kit, [&](Actors& actors) {
        return actors.enter(text_of(name), text_of(world), place_of(x, y, z, yaw), avatar_type,
                            entered);
    });
    if (rc == KIVSB_OK && session) *session = entered;
    return rc;
}

int kivsb_actor_move(KIVSandbox* kit, const char* name, double x, double y, double z, double yaw,
                     int avatar_type) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.move(text_of(name), place_of(x, y, z, yaw), avatar_type);
    });
}

int kivsb_actor_say(KIVSandbox* kit, const char* name, const char* text) {
    return by_actor(kit, [&](Actors& actors) { return actors.say(text_of(name), text_of(text)); });
}

int kivsb_actor_leave(KIVSandbox* kit, const char* name) {
    return by_actor(kit, [&](Actors& actors) { return actors.leave(text_of(name)); });
}

int kivsb_actor_click_avatar(KIVSandbox* kit, const char* name, int session) {
    return by_actor(kit,
                    [&](Actors& actors) { return actors.click_avatar(text_of(name), session); });
}

int kivsb_actor_click_object(KIVSandbox* kit, const char* name, int object_id, int session) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.click_object(text_of(name), object_id, session);
    });
}

int kivsb_actor_bump(KIVSandbox* kit, const char* name, int object_id, int begin, int session) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.bump(text_of(name), object_id, begin != 0, session);
    });
}

int kivsb_actor_teleport(KIVSandbox* kit, const char* name, int session, const char* world,
                         double x, double y, double z, double yaw) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.teleport(text_of(name), session, text_of(world), place_of(x, y, z, yaw));
    });
}

int kivsb_actor_url(KIVSandbox* kit, const char* name, int session, const char* url) {
    return by_actor(
        kit, [&](Actors& actors) { return actors.send_url(text_of(name), session, text_of(url)); });
}

int kivsb_actor_console(KIVSandbox* kit, const char* name, int session, const char* text) {
    return by_actor(
        kit, [&](Actors& actors) { return actors.console(text_of(name), session, text_of(text)); });
}

int kivsb_actor_object_add(KIVSandbox* kit, const char* name, const char* model,
                           const char* description, const char* action, double x, double y,
                           double z, int* object_id) {
    std::int32_t id = 0;
    const int rc = by_actor(kit, [&](Actors& actors) {
        return actors.add_object(text_of(name), object_of(model, description, action, x, y, z), id);
    });
    if (rc == KIVSB_OK && object_id) *object_id = id;
    return rc;
}

int kivsb_actor_object_change(KIVSandbox* kit, const char* name, int object_id, const char* model,
                              const char* description, const char* action, double x, double y,
                              double z) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.change_object(text_of(name), object_id,
                                    object_of(model, description, action, x, y, z));
    });
}

int kivsb_actor_object_delete(KIVSandbox* kit, const char* name, int object_id) {
    return by_actor(kit,
                    [&](Actors& actors) { return actors.delete_object(text_of(name), object_id); });
}

int kivsb_actor_terrain(KIVSandbox* kit, const char* name, int tile_x, int tile_z, int node_x,
                        int node_z, double height, int attributes) {
    if (attributes < 0 || attributes > 0xFFFF) return KIVSB_INVALID_ARGUMENT;
    return by_actor(kit, [&](Actors& actors) {
        return actors.set_terrain(text_of(name), tile_x, tile_z, node_x, node_z,
                                  static_cast<float>(height),
                                  static_cast<std::uint16_t>(attributes));
    });
}

int kivsb_actor_setting(KIVSandbox* kit, const char* name, const char* setting, const char* value) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.set_setting(text_of(name), text_of(setting), text_of(value));
    });
}

int kivsb_actor_permission(KIVSandbox* kit, const char* name, const char* permission, int user_id,
                           int enable) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.set_permission(text_of(name), text_of(permission), user_id, enable != 0);
    });
}

int kivsb_actor_invite(KIVSandbox* kit, const char* name, int user_id, const char* world, double x,
                       double y, double z, double yaw) {
    return by_actor(kit, [&](Actors& actors) {
        return actors.invite(text_of(name), user_id, text_of(world), place_of(x, y, z, yaw));
    });
}

int kivsb_actor_join(KIVSandbox* kit, const char* name, int user_id) {
    return by_actor(kit, [&](Actors& actors) { return actors.join(text_of(name), user_id); });
}

int kivsb_actor_user_id(KIVSandbox* kit, const char* name, int* user_id) {
    if (!user_id) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        *user_id = thread.sandbox.actors().user_id(text_of(name));
        return *user_id == 0 ? KIVSB_NO_SUCH_ACTOR : KIVSB_OK;
    });
}

// ---- Faults ----------------------------------------------------------------

int kivsb_freeze(KIVSandbox* kit, int milliseconds) {
    if (milliseconds < 0) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        thread.sandbox.freeze(std::chrono::milliseconds(milliseconds));
        return KIVSB_OK;
    });
}

int kivsb_drop(KIVSandbox* kit, const char* where, int reset, int* dropped) {
    return on_kit(kit, [&](KitThread& thread) {
        kivsdk::server::Service* service = nullptr;
        if (!service_of(thread, text_of(where), service)) return KIVSB_NO_SUCH_WORLD;
        const std::size_t count =
            thread.sandbox.loop().drop_clients(service, "dropped by the test", reset != 0);
        if (dropped) *dropped = static_cast<int>(count);
        return KIVSB_OK;
    });
}

int kivsb_refuse_logins(KIVSandbox* kit, int count, int result) {
    if (count < 0 || result < 1 || result > 255) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        thread.sandbox.refuse_logins(count, static_cast<std::uint8_t>(result));
        return KIVSB_OK;
    });
}

int kivsb_remove_world(KIVSandbox* kit, const char* world) {
    return on_kit(kit, [&](KitThread& thread) {
        return thread.sandbox.remove_world(text_of(world)) ? KIVSB_OK : KIVSB_NO_SUCH_WORLD;
    });
}

int kivsb_keepalive(KIVSandbox* kit, int seconds) {
    if (seconds < 0) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        thread.sandbox.set_keepalive(seconds);
        return KIVSB_OK;
    });
}

int kivsb_delay(KIVSandbox* kit, int milliseconds) {
    if (milliseconds < 0) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        thread.sandbox.loop().delay_replies(std::chrono::milliseconds(milliseconds));
        return KIVSB_OK;
    });
}

int kivsb_ignore(KIVSandbox* kit, const char* where, int message_type, int ignore) {
    if (message_type < 0 || message_type > 255 || text_of(where).empty()) {
        return KIVSB_INVALID_ARGUMENT;
    }
    return on_kit(kit, [&](KitThread& thread) {
        kivsdk::server::Service* service = thread.sandbox.service(text_of(where));
        if (!service) return KIVSB_NO_SUCH_WORLD;
        thread.sandbox.loop().ignore_requests(*service, static_cast<std::uint8_t>(message_type),
                                              ignore != 0);
        return KIVSB_OK;
    });
}

int kivsb_cut_after(KIVSandbox* kit, const char* where, int bytes) {
    if (bytes < 0) return KIVSB_INVALID_ARGUMENT;
    return on_kit(kit, [&](KitThread& thread) {
        kivsdk::server::Service* service = nullptr;
        if (!service_of(thread, text_of(where), service)) return KIVSB_NO_SUCH_WORLD;
        thread.sandbox.loop().cut_after(service, static_cast<std::size_t>(bytes));
        return KIVSB_OK;
    });
}

// ---- What happened -----------------------------------------------------------

int kivsb_sent(KIVSandbox* kit, const char* user, const char* where, char* buffer, size_t capacity,
               size_t* length) {
    std::string text;
    const int rc = on_kit(kit, [&](KitThread& thread) {
        for (const std::string& line : thread.recorder.sent_by(text_of(user), text_of(where))) {
            text += line;
            text += '\n';
        }
        return KIVSB_OK;
    });
    return rc == KIVSB_OK ? copy_text(text, buffer, capacity, length) : rc;
}

int kivsb_forget_sent(KIVSandbox* kit) {
    return on_kit(kit, [&](KitThread& thread) {
        thread.recorder.clear();
        return KIVSB_OK;
    });
}

int kivsb_world_state(KIVSandbox* kit, const char* world, char* buffer, size_t capacity,
                      size_t* length) {
    std::string text;
    const int rc = on_kit(kit, [&](KitThread& thread) {
        const kivsdk::sandbox::WorldService* service = thread.sandbox.world(text_of(world));
        if (!service) return KIVSB_NO_SUCH_WORLD;
        text = kivsdk::testkit::state_text(service->state());
        return KIVSB_OK;
    });
    return rc == KIVSB_OK ? copy_text(text, buffer, capacity, length) : rc;
}

}  // extern "C"
