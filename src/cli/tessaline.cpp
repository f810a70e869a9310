// The `tessaline` command: cleans photographs through the library interface,
// lists the OpenCL devices, prints help and version.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale.h>
#include <nlohmann/json.hpp>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "NNInference/NNInference.h"
#include "api/OutputTarget.h"
#include "engine/PhotoEngine.h"
#include "tessaline.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* const kUsage =
    "Usage:\n"
    "  tessaline clean [options] INPUT...   remove dirt from the backdrop of each photograph\n"
    "  tessaline devices                    list the OpenCL devices, best first\n"
    "  tessaline --help | --version\n"
    "\n"
    "Options of clean:\n"
    "  --dirt coarse|medium|fine   size of the dirt to remove (default fine)\n"
    "  --strength PERCENT          how strongly the result is applied, 0..100 (default 100)\n"
    "  --automask                  protect the person with the automatic subject mask\n"
    "  --mask-layer                write the changed area as alpha (PNG and TIFF)\n"
    "  --settings JSON             settings as the library reads them, e.g. '{\"Scale\":2}';\n"
    "                              --dirt and --strength given as well take precedence\n"
    "  -o PATH                     output file (one input) or folder (several inputs);\n"
    "                              default: <input folder>/Retouched/<name>_retouched<ext>\n"
    "  --overwrite                 replace existing output files\n";

struct CleanOptions {
    int scale = 3;
    bool scaleGiven = false;
    float strength = 1.0f;
    bool strengthGiven = false;
    bool automask = false;
    bool maskLayer = false;
    std::string settings;
    std::string output;
    bool overwrite = false;
    std::vector<std::string> inputs;
};

struct UsageError {
    std::string message;
};

bool exists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool isFolder(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring widen(const std::string& text)
{
    std::wstring wide;
    std::mbstate_t state{};
    const char* p = text.c_str();
    const char* end = p + text.size();
    while (p < end) {
        wchar_t c = 0;
        const size_t n = std::mbrtowc(&c, p, static_cast<size_t>(end - p), &state);
        if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2)) throw UsageError{"not a UTF-8 path: " + text};
        if (n == 0) break;
        wide += c;
        p += n;
    }
    return wide;
}

int parseDirt(const std::string& value)
{
    if (value == "coarse") return 1;
    if (value == "medium") return 2;
    if (value == "fine") return 3;
    throw UsageError{"--dirt takes coarse, medium or fine, not '" + value + "'"};
}

float parseStrength(const std::string& value)
{
    char* end = nullptr;
    const double percent = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(percent >= 0.0 && percent <= 100.0))
        throw UsageError{"--strength takes a percentage from 0 to 100, not '" + value + "'"};
    return static_cast<float>(percent / 100.0);
}

CleanOptions parseClean(int argc, char** argv)
{
    CleanOptions options;
    auto valueOf = [&](int& i) -> std::string {
        if (i + 1 >= argc) throw UsageError{std::string(argv[i]) + " needs a value"};
        return argv[++i];
    };
    bool optionsEnded = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') options.inputs.push_back(arg);
        else if (arg == "--") optionsEnded = true;
        else if (arg == "--dirt") options.scale = parseDirt(valueOf(i)), options.scaleGiven = true;
        else if (arg == "--strength") options.strength = parseStrength(valueOf(i)), options.strengthGiven = true;
        else if (arg == "--automask") options.automask = true;
        else if (arg == "--mask-layer") options.maskLayer = true;
        else if (arg == "--settings") options.settings = valueOf(i);
        else if (arg == "-o" || arg == "--output") options.output = valueOf(i);
        else if (arg == "--overwrite") options.overwrite = true;
        else throw UsageError{"unknown option " + arg};
    }
    if (options.inputs.empty()) throw UsageError{"clean needs at least one INPUT"};
    if (!options.settings.empty() && !nlohmann::json::accept(options.settings))
        throw UsageError{"--settings is not valid JSON"};
    return options;
}

// The file each input is written to.
std::string targetFor(const CleanOptions& options, const std::string& input)
{
    if (options.output.empty()) return defaultOutputFile(input);
    const bool folder = options.inputs.size() > 1 || isFolder(options.output) || options.output.back() == '/';
    if (!folder) {
        const size_t slash = options.output.find_last_of('/');
        const std::string name = slash == std::string::npos ? options.output : options.output.substr(slash + 1);
        if (name.find('.') == std::string::npos)
            throw UsageError{"-o " + options.output + ": the output file needs an extension (.png, .tif, .jpg)"};
        return options.output;
    }
    std::string defaultName = defaultOutputFile(input);
    defaultName = defaultName.substr(defaultName.find_last_of('/') + 1);
    std::string folderPath = options.output;
    while (folderPath.size() > 1 && folderPath.back() == '/') folderPath.pop_back();
    return folderPath + "/" + defaultName;
}

bool g_showBar = false;

void progressBar(void*, float percent)
{
    if (!g_showBar) return;
    std::fputs((ConsoleBarText(percent) + "\r").c_str(), stdout);
    std::fflush(stdout);
}

void clearBar()
{
    if (g_showBar) std::printf("\r%*s\r", 80, "");
}

std::string reasonOf(int code)
{
    switch (code) {
    case 3: return "the input could not be read as an image";
    case 4: return "the output folder could not be created";
    case 5: return "the output path names a folder";
    case 6: return "the result could not be saved";
    default: return "failed with code " + std::to_string(code);
    }
}

// Settings given with --settings, completed by the explicit options.
void applySettings(void* engine, CleanOptions& options)
{
    if (!options.settings.empty()) {
        if (setSettingsFromJson(engine, options.settings.c_str()) != 0)
            throw UsageError{"--settings has a value of the wrong type"};
        char text[512];
        getSettingsInJson(engine, text, sizeof text);
        const nlohmann::json current = nlohmann::json::parse(text);
        if (!options.scaleGiven) {
            const int scale = current.value("Scale", 3);
            options.scale = scale >= 1 && scale <= 3 ? scale : 3;
        }
        if (!options.strengthGiven) options.strength = current.value("Alpha1", 1.0f);
    }
    std::string flags = "{";
    if (options.automask) flags += "\"Automask\":true";
    if (options.maskLayer) flags += std::string(flags.size() > 1 ? "," : "") + "\"Layer\":1";
    flags += "}";
    setSettingsFromJson(engine, flags.c_str());
}

int runClean(int argc, char** argv)
{
    CleanOptions options = parseClean(argc, argv);
    std::vector<std::string> targets;
    for (const std::string& input : options.inputs) targets.push_back(targetFor(options, input));

    void* engine = createInstance();
    if (engine == nullptr) {
        std::fprintf(stderr, "tessaline: the engine could not be started (see above)\n");
        return kExitFailed;
    }
    applySettings(engine, options);
    g_showBar = isatty(STDOUT_FILENO) != 0;
    int failures = 0;
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        const std::string& input = options.inputs[i];
        const std::string& target = targets[i];
        if (!options.overwrite && exists(target)) {
            std::fprintf(stderr, "tessaline: %s: %s exists (use --overwrite to replace it)\n", input.c_str(),
                         target.c_str());
            ++failures;
            continue;
        }
        // Made here so the library has nothing to announce on the way.
        if (!makeFolders(folderOfPath(target))) {
            std::fprintf(stderr, "tessaline: %s: the folder of %s cannot be created\n", input.c_str(), target.c_str());
            ++failures;
            continue;
        }
        const auto start = std::chrono::steady_clock::now();
        const int code = processImageFromFile(engine, widen(input).c_str(), widen(target).c_str(), options.scale,
                                              false, progressBar, options.strength, 1.0f);
        clearBar();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (code == 0) {
            std::printf("%s -> %s (%.1f s)\n", input.c_str(), target.c_str(), seconds);
        } else {
            std::fprintf(stderr, "tessaline: %s: %s\n", input.c_str(), reasonOf(code).c_str());
            ++failures;
        }
        std::fflush(stdout);
    }
    clearInstance(engine);
    return failures == 0 ? kExitOk : kExitFailed;
}

int runDevices()
{
    NNInference probe;
    std::vector<DEVICES> devices;
    if (!probe.getOpenCLDeviceList(devices, 0) || devices.empty()) {
        std::fprintf(stderr, "tessaline: no OpenCL device found\n");
        return kExitFailed;
    }
    std::stable_sort(devices.begin(), devices.end(), sortByRating);
    for (size_t i = 0; i < devices.size(); ++i) {
        std::printf("%zu: %s (%s), %d MB, rating %d\n", i, devices[i].deviceName, devices[i].platformName,
                    devices[i].memoryMB, devices[i].rating);
        NNInference engine;
        if (engine.initialize(static_cast<int32_t>(i), false, "tessaline", 0))
            std::printf("%s\n", engine.getNNEngineInformation().c_str());
    }
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    setlocale(LC_CTYPE, "");
    if (setlocale(LC_CTYPE, nullptr) == nullptr || std::strstr(setlocale(LC_CTYPE, nullptr), "UTF-8") == nullptr)
        setlocale(LC_CTYPE, "C.UTF-8");
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "--help" || command == "-h" || command == "help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (command == "--version") {
            const int version = getPluginVersion();
            std::printf("tessaline %d.%03d\n", version / 1000, version % 1000);
            return kExitOk;
        }
        if (command == "clean") return runClean(argc, argv);
        if (command == "devices") return runDevices();
        throw UsageError{command.empty() ? "no command given" : "unknown command " + command};
    } catch (const UsageError& error) {
        std::fprintf(stderr, "tessaline: %s\n\n%s", error.message.c_str(), kUsage);
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaline: %s\n", error.what());
        return kExitFailed;
    }
}
