// SPDX-License-Identifier: MIT
// zemb-server: with a reachable display and without --no-window, the server with its operator
// window; otherwise the server headless. The window and Qt come from a module loaded only in
// the first case.
#include "base/DebugLog.h"
#include "base/ExecutablePaths.h"
#include "server/ServerMain.h"
#include "window/DisplayProbe.h"
#include "window/WindowModule.h"

#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {
// The loaded window module and the hooks it made; the hooks go before the module is let go.
class TWindowModule {
public:
    // Null, after one debug line saying why, when the module cannot be found or loaded.
    static std::unique_ptr<TWindowModule> Load(int& argc, char** argv,
                                               const std::string& platforms) {
        const std::filesystem::path folder = std::filesystem::path(ExecutablePath()).parent_path();
        // Beside the executable in the build tree; under the library folder when installed.
        const std::filesystem::path candidates[] = {
            folder / kWindowModuleFile, folder / ZEMB_WINDOW_MODULE_DIR / kWindowModuleFile};
        std::string tried;
        for (const auto& path : candidates) {
            std::error_code error;
            if (!std::filesystem::exists(path, error)) {
                tried += (tried.empty() ? "" : ", ") + path.lexically_normal().string();
                continue;
            }
            // Never unmapped: Qt's libraries, brought in by the module, leave exit-time
            // handlers behind (their global objects, atexit); unmapped before the process
            // ends, those would point at nothing. dlclose only gives our reference back.
            THandle handle(::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
            if (!handle) {
                return Refused(::dlerror());
            }
            const auto create =
                reinterpret_cast<TCreateWindowHooks>(::dlsym(handle.get(), kWindowHooksFactory));
            if (!create) {
                return Refused(::dlerror());
            }
            std::unique_ptr<TOperatorWindowHooks> hooks(create(&argc, argv, platforms.c_str()));
            if (!hooks) {
                return nullptr; // the module said why
            }
            return std::unique_ptr<TWindowModule>(
                new TWindowModule(std::move(handle), std::move(hooks)));
        }
        return Refused("not found (" + tried + ")");
    }

    TOperatorWindowHooks& Hooks() { return *hooks_; }

private:
    struct TClose {
        void operator()(void* handle) const noexcept { ::dlclose(handle); }
    };
    using THandle = std::unique_ptr<void, TClose>;

    TWindowModule(THandle handle, std::unique_ptr<TOperatorWindowHooks> hooks)
        : handle_(std::move(handle)), hooks_(std::move(hooks)) {}
    static std::unique_ptr<TWindowModule> Refused(const std::string& reason) {
        ConfDebugString("zemb-server: the operator window cannot be loaded, running without it: " +
                        reason);
        return nullptr;
    }

    THandle handle_;                              // declared first: released last
    std::unique_ptr<TOperatorWindowHooks> hooks_; // made by the module's code
};
} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    std::unique_ptr<TWindowModule> window;
    if (std::find(args.begin(), args.end(), "--no-window") == args.end()) {
        // A set but unreachable display must not end the process inside Qt.
        if (const std::string platforms = ReachablePlatforms(); !platforms.empty()) {
            window = TWindowModule::Load(argc, argv, platforms);
        }
    }
    return RunServer(args, window ? &window->Hooks() : nullptr);
}
