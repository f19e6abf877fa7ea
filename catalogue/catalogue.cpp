#include "catalogue/catalogue.h"

namespace qor::catalogue {

const Command *FindWord(std::string_view word) {
    for (const Command &c : kCatalogue) {
        if (word == c.word) {
            return &c;
        }
    }
    return nullptr;
}

const Command *FindLetters(std::string_view letters) {
    for (const Command &c : kCatalogue) {
        if (letters == c.letters) {
            return &c;
        }
    }
    return nullptr;
}

const Command &RowOf(CommandCode code) {
    for (const Command &c : kCatalogue) {
        if (c.code == code) {
            return c;
        }
    }
    // A library step has no row; the first row stands in, as the engine
    // frames an unknown code as "RD".
    return kCatalogue[0];
}

std::string Words(bool (*keep)(const Command &), std::string_view separator) {
    std::string words;
    for (const Command &c : kCatalogue) {
        if (keep(c)) {
            if (!words.empty()) {
                words += separator;
            }
            words += c.word;
        }
    }
    return words;
}

std::string Words(bool queries, std::string_view separator) {
    return queries ? Words([](const Command &c) { return c.query; }, separator)
                   : Words([](const Command &c) { return !c.query; }, separator);
}

}  // namespace qor::catalogue
