#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace pagemate::linux_backend {

// Where pocketsphinx models are looked for.
struct SphinxModelLocations {
    // Debian's pocketsphinx-en-us folder (acoustic model en-us/, en-us.lm.bin,
    // cmudict-en-us.dict), the model of "en-US".
    std::filesystem::path systemModel;
    // One folder per BCP 47 locale, each laid out as
    //   <locale>/acoustic-model/          mdef, means, variances, transition_matrices,
    //                                     noisedict, sendump or mixture_weights, ...
    //   <locale>/language-model.lm.bin    (or language-model.lm, language-model.lm.dmp)
    //   <locale>/dictionary.dict
    // A complete folder here wins over the system model of the same locale.
    std::filesystem::path userModels;

    // /usr/share/pocketsphinx/model/en-us and $XDG_DATA_HOME/pagemate/speech (by default
    // ~/.local/share/pagemate/speech).
    static SphinxModelLocations standard();
};

// The files of one complete model.
struct SphinxModel {
    std::string locale;
    std::filesystem::path acousticModel;  // a folder
    std::filesystem::path languageModel;
    std::filesystem::path dictionary;
};

// A model folder that cannot be used, and why (in English, the log's detail).
struct SphinxModelProblem {
    std::string locale;
    std::filesystem::path folder;
    std::string detail;
};

struct SphinxModelScan {
    std::vector<SphinxModel> models;  // sorted by locale, each locale once
    std::vector<SphinxModelProblem> problems;
};

// Reads the model folders as they are now (a model the user adds is found by the next
// scan). Checks that every part is there, readable, not empty and of the right kind
// (the file signatures); whether the engine can load it is only known when it does.
SphinxModelScan scanSphinxModels(const SphinxModelLocations& locations);

}  // namespace pagemate::linux_backend
