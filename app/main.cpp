// kovrin: the command-line front end of the line renderer.
#include <malloc.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <exception>
#include <iostream>

#include "farm_command.h"
#include "info_command.h"
#include "render_command.h"
#include "settings_commands.h"

namespace {

constexpr const char* kVersion = "kovrin 0.1.0";

// The engine's per-frame arrays run to tens of megabytes. glibc hands blocks that large back to
// the kernel on free, so every frame would fault its pages in afresh (about 2.5 ms per MB on
// our machines); keeping them in the heap lets the next frame reuse them.
void KeepFreedMemoryMapped() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
}

}  // namespace

int main(int argc, char** argv) {
    KeepFreedMemoryMapped();
    CLI::App app{"kovrin: non-photorealistic line renderer"};
    app.set_version_flag("--version", kVersion);
    app.require_subcommand(1);

    KvrnApp::InfoOptions infoOptions;
    CLI::App* info = KvrnApp::AddInfoCommand(app, &infoOptions);
    KvrnApp::RenderOptions renderOptions;
    CLI::App* render = KvrnApp::AddRenderCommand(app, &renderOptions);
    KvrnApp::SettingsOptions settingsOptions;
    const KvrnApp::SettingsCommands settings = KvrnApp::AddSettingsCommands(app, &settingsOptions);
    const std::unique_ptr<KvrnApp::FarmCommand> farm = KvrnApp::AddFarmCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version exit 0; every usage error counts as bad input.
        return app.exit(e) == 0 ? 0 : 2;
    }
    try {
        if (info->parsed()) return KvrnApp::RunInfo(infoOptions, std::cout, std::cerr);
        if (render->parsed()) {
            return KvrnApp::RunRender(renderOptions, std::cout, std::cerr, isatty(2) != 0);
        }
        if (farm->Parsed()) return farm->Run(std::cout, std::cerr);
        return KvrnApp::RunSettingsCommand(settings, settingsOptions, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "kovrin: internal error: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
