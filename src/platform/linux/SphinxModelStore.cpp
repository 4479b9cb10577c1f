#include "platform/linux/SphinxModelStore.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>
#include <variant>

namespace pagemate::linux_backend {

namespace fs = std::filesystem;

namespace {

// The first bytes of a file (fewer when it is shorter); nullopt when it cannot be read.
std::optional<std::string> head(const fs::path& file, std::size_t bytes) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string text(bytes, '\0');
    in.read(text.data(), static_cast<std::streamsize>(bytes));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Empty when the file is a readable, non-empty regular file; otherwise why not.
std::string unusableFile(const fs::path& file) {
    std::error_code error;
    if (!fs::is_regular_file(file, error)) {
        return file.filename().string() + " is missing";
    }
    if (fs::file_size(file, error) == 0 || error) {
        return file.filename().string() + " is empty";
    }
    if (!head(file, 1)) {
        return file.filename().string() + " cannot be read";
    }
    return {};
}

std::string checkAcousticModel(const fs::path& folder) {
    std::error_code error;
    if (!fs::is_directory(folder, error)) {
        return "no acoustic model folder " + folder.filename().string();
    }
    for (const char* part : {"mdef", "means", "variances", "transition_matrices", "noisedict"}) {
        if (auto why = unusableFile(folder / part); !why.empty()) {
            return "acoustic model: " + why;
        }
    }
    if (!unusableFile(folder / "sendump").empty() &&
        !unusableFile(folder / "mixture_weights").empty()) {
        return "acoustic model: neither sendump nor mixture_weights is usable";
    }
    // The model definition is binary ("BMDF") or text (a version line "0.3").
    const auto mdef = head(folder / "mdef", 4).value_or("");
    if (mdef != "BMDF" && mdef.rfind("0.3", 0) != 0) {
        return "acoustic model: mdef is not a model definition";
    }
    return {};
}

std::string checkLanguageModel(const fs::path& file) {
    if (auto why = unusableFile(file); !why.empty()) {
        return "language model: " + why;
    }
    const std::string name = file.filename().string();
    const std::string start = head(file, 64).value_or("");
    const auto endsWith = [&](std::string_view tail) {
        return name.size() >= tail.size() &&
               name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    bool recognised = false;
    if (endsWith(".lm.bin")) {
        recognised = start.rfind("Trie Language Model", 0) == 0;
    } else if (endsWith(".lm.dmp") || endsWith(".lm.DMP")) {
        recognised = start.find("Darpa") != std::string::npos;
    } else {
        recognised =
            start.find("\\data\\") != std::string::npos || start.find('\\') != std::string::npos;
    }
    return recognised ? std::string() : "language model: " + name + " is not a language model";
}

// A user folder: <locale>/acoustic-model, language-model.*, dictionary.dict.
std::variant<SphinxModel, SphinxModelProblem> readUserModel(const fs::path& folder) {
    const std::string locale = folder.filename().string();
    const auto problem = [&](std::string detail) {
        return SphinxModelProblem{locale, folder, std::move(detail)};
    };
    if (auto why = checkAcousticModel(folder / "acoustic-model"); !why.empty()) {
        return problem(why);
    }
    std::optional<fs::path> languageModel;
    for (const char* name :
         {"language-model.lm.bin", "language-model.lm", "language-model.lm.dmp"}) {
        std::error_code error;
        if (fs::exists(folder / name, error)) {
            languageModel = folder / name;
            break;
        }
    }
    if (!languageModel) {
        return problem("no language-model.lm.bin, .lm or .lm.dmp");
    }
    if (auto why = checkLanguageModel(*languageModel); !why.empty()) {
        return problem(why);
    }
    if (auto why = unusableFile(folder / "dictionary.dict"); !why.empty()) {
        return problem("dictionary: " + why);
    }
    return SphinxModel{locale, folder / "acoustic-model", *languageModel,
                       folder / "dictionary.dict"};
}

// Letters, digits and hyphens, starting with a letter: what a BCP 47 tag is made of.
bool looksLikeLocale(const std::string& name) {
    return !name.empty() && std::isalpha(static_cast<unsigned char>(name.front())) != 0 &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-';
           });
}

}  // namespace

SphinxModelLocations SphinxModelLocations::standard() {
    SphinxModelLocations locations;
    locations.systemModel = "/usr/share/pocketsphinx/model/en-us";
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    fs::path base;
    if (dataHome != nullptr && *dataHome == '/') {
        base = dataHome;
    } else if (home != nullptr && *home != '\0') {
        base = fs::path(home) / ".local/share";
    }
    if (!base.empty()) {
        locations.userModels = base / "pagemate" / "speech";
    }
    return locations;
}

SphinxModelScan scanSphinxModels(const SphinxModelLocations& locations) {
    SphinxModelScan scan;
    std::error_code error;
    if (!locations.userModels.empty() && fs::is_directory(locations.userModels, error)) {
        for (const auto& entry : fs::directory_iterator(locations.userModels, error)) {
            const std::string name = entry.path().filename().string();
            if (!entry.is_directory(error) || !looksLikeLocale(name)) {
                continue;
            }
            auto model = readUserModel(entry.path());
            if (auto* found = std::get_if<SphinxModel>(&model)) {
                scan.models.push_back(std::move(*found));
            } else {
                scan.problems.push_back(std::get<SphinxModelProblem>(std::move(model)));
            }
        }
    }
    const bool userEnglish =
        std::any_of(scan.models.begin(), scan.models.end(),
                    [](const SphinxModel& model) { return model.locale == "en-US"; });
    if (!userEnglish && !locations.systemModel.empty() &&
        fs::is_directory(locations.systemModel, error)) {
        const fs::path folder = locations.systemModel;
        SphinxModel english{"en-US", folder / "en-us", folder / "en-us.lm.bin",
                            folder / "cmudict-en-us.dict"};
        std::string why = checkAcousticModel(english.acousticModel);
        if (why.empty()) {
            why = checkLanguageModel(english.languageModel);
        }
        if (why.empty()) {
            if (auto dictionary = unusableFile(english.dictionary); !dictionary.empty()) {
                why = "dictionary: " + dictionary;
            }
        }
        if (why.empty()) {
            scan.models.push_back(std::move(english));
        } else {
            scan.problems.push_back(SphinxModelProblem{"en-US", folder, why});
        }
    }
    std::sort(scan.models.begin(), scan.models.end(),
              [](const SphinxModel& a, const SphinxModel& b) { return a.locale < b.locale; });
    return scan;
}

}  // namespace pagemate::linux_backend
