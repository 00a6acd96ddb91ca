#include "image_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <mutex>
#include <stdexcept>

namespace {

// The module as built, else beside the running program.
std::vector<std::string> Candidates() {
    std::vector<std::string> paths;
#ifdef KVRN_IMAGE_MODULE
    paths.push_back(KVRN_IMAGE_MODULE);
#endif
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
        paths.push_back((std::filesystem::path(std::string(self, size_t(n))).parent_path() /
                         "libkvrn_images.so")
                            .string());
    }
    paths.push_back("libkvrn_images.so");
    return paths;
}

ImageLibrary* Load() {
    std::string reasons;
    for (const std::string& path : Candidates()) {
        void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            const char* why = ::dlerror();
            reasons += "\n  " + (why ? std::string(why) : path);
            continue;
        }
        using Create = ImageLibrary* (*)();
        auto create = reinterpret_cast<Create>(::dlsym(module, "KvrnCreateImageLibrary"));
        if (!create) throw std::runtime_error(path + ": not an image module");
        // Kept loaded for the life of the process: texture handles point into it.
        return create();
    }
    throw std::runtime_error("cannot load the image module libkvrn_images.so:" + reasons);
}

}  // namespace

ImageLibrary& GetImageLibrary() {
    static std::once_flag once;
    static ImageLibrary* library = nullptr;
    std::call_once(once, [] { library = Load(); });
    return *library;
}
