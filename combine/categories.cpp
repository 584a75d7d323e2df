// The three lookup categories of a catalogue.
#include "categories.h"

namespace catalogue {

namespace {

Category make(int index, const std::string& caption, const std::string& word,
              std::vector<std::string> columns) {
    return Category{index,
                    caption,
                    word,
                    word + "s",
                    word + " Code",
                    word + " Name",
                    word + " Name Index",
                    std::move(columns)};
}

} // namespace

const std::vector<Category>& Categories() {
    static const std::vector<Category> all = {
        make(0, "Subjects", "Subject", {"Subject 1", "Subject 2"}),
        make(1, "Publishers", "Publisher", {"Publisher"}),
        make(2, "Media Types", "Type", {"Item Type"}),
    };
    return all;
}

const Category* CategoryAt(int comboIndex) {
    const auto& all = Categories();
    if (comboIndex < 0 || comboIndex >= static_cast<int>(all.size()))
        return nullptr;
    return &all[static_cast<size_t>(comboIndex)];
}

const Category* CategoryOfWord(const std::string& word) {
    for (const Category& c : Categories())
        if (c.word == word)
            return &c;
    return nullptr;
}

} // namespace catalogue
