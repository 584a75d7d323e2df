// The fingerprint of a lookup name. Pure-ASCII names, nearly all of a real
// catalogue, never reach ICU; other names fold character by character through
// a per-thread cache, and only names in a script other than Latin pass whole
// through ICU's transliterator, which is slow per call.
#include "fingerprint.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>
#include <unicode/uscript.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

namespace dedupe {
namespace {

constexpr char32_t replacementChar = 0xFFFD;

// Decodes one UTF-8 sequence at s[i], advancing i. A malformed or truncated
// sequence yields U+FFFD and skips one byte, as a decoder that lost it would.
char32_t nextCodePoint(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra = 0;
    char32_t c = 0;
    if (b >= 0xC2 && b < 0xE0)
        extra = 1, c = b & 0x1F;
    else if (b >= 0xE0 && b < 0xF0)
        extra = 2, c = b & 0x0F;
    else if (b >= 0xF0 && b < 0xF5)
        extra = 3, c = b & 0x07;
    if (extra == 0 || i + extra >= s.size()) {
        ++i;
        return replacementChar;
    }
    for (std::size_t k = 1; k <= extra; ++k) {
        auto t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) {
            ++i;
            return replacementChar;
        }
        c = (c << 6) | (t & 0x3F);
    }
    i += extra + 1;
    return c;
}

// ICU's transliterator and the ASCII folding of each code point met so far,
// one of each per thread: a Transliterator must not be shared between threads.
class Folder {
public:
    // The ASCII that c folds to: diacritics and modifier letters dropped,
    // letters such as "ß" or "ø" spelled out. Empty for what has no ASCII form.
    const std::string& fold(char32_t c) {
        auto at = cache_.find(c);
        if (at != cache_.end())
            return at->second;
        icu::UnicodeString u(static_cast<UChar32>(c));
        transliterate(u);
        return cache_.emplace(c, asciiOf(u)).first->second;
    }

    // A run of characters in Latin letters, read in context as scripts such
    // as Greek, Cyrillic or Han need. Runs recur (words of a place name), so
    // each is transliterated once per thread.
    const std::string& foldRun(std::string_view run) {
        auto at = runs_.find(std::string(run));
        if (at != runs_.end())
            return at->second;
        if (runs_.size() > 100000)
            runs_.clear(); // bounds the memory of a long run over many scripts
        auto u = icu::UnicodeString::fromUTF8(
            icu::StringPiece(run.data(), static_cast<int32_t>(run.size())));
        transliterate(u);
        return runs_.emplace(std::string(run), asciiOf(u)).first->second;
    }

private:
    void transliterate(icu::UnicodeString& u) {
        if (!ready_) {
            ready_ = true;
            UErrorCode status = U_ZERO_ERROR;
            tr_.reset(icu::Transliterator::createInstance("Any-Latin; Latin-ASCII", UTRANS_FORWARD,
                                                          status));
            if (U_FAILURE(status))
                tr_.reset(); // without ICU's data every non-ASCII character is dropped
        }
        if (tr_)
            tr_->transliterate(u);
    }
    static std::string asciiOf(const icu::UnicodeString& u) {
        std::string out;
        for (int32_t k = 0; k < u.length(); ++k)
            if (u.charAt(k) < 0x80)
                out += static_cast<char>(u.charAt(k));
        return out;
    }

    std::unique_ptr<icu::Transliterator> tr_;
    bool ready_ = false;
    std::unordered_map<char32_t, std::string> cache_;
    std::unordered_map<std::string, std::string> runs_;
};

Folder& folder() {
    thread_local Folder f;
    return f;
}

bool needsContext(char32_t c) {
    UErrorCode status = U_ZERO_ERROR;
    UScriptCode script = uscript_getScript(static_cast<UChar32>(c), &status);
    return U_SUCCESS(status) && script != USCRIPT_LATIN && script != USCRIPT_COMMON &&
           script != USCRIPT_INHERITED;
}

// Folds s to ASCII into out, one run of non-ASCII characters at a time:
// Latin runs code point by code point, runs holding another script whole.
// U+FFFD is dropped.
void foldToAscii(std::string_view s, std::string& out) {
    Folder& f = folder();
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            out += s[i++];
            continue;
        }
        std::size_t end = i;
        bool contextual = false;
        while (end < s.size() && static_cast<unsigned char>(s[end]) >= 0x80) {
            char32_t c = nextCodePoint(s, end);
            contextual = contextual || (c != replacementChar && needsContext(c));
        }
        if (contextual) {
            out += f.foldRun(s.substr(i, end - i));
            i = end;
            continue;
        }
        while (i < end) {
            char32_t c = nextCodePoint(s, i);
            if (c != replacementChar)
                out += f.fold(c);
        }
    }
}

bool isAsciiOnly(std::string_view s) {
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The key of ASCII text: lower case, "&" as the word "and", apostrophes
// closed up, every other character that is not a letter or digit a word
// break; the words then sorted and each kept once.
void keyOfAscii(std::string_view s, std::string& key, std::string* ordered = nullptr) {
    // Written through a pointer into a buffer big enough for the worst case
    // ("&" becomes " and "), words noted as they end.
    thread_local std::string text;
    thread_local std::vector<std::string_view> words;
    if (text.size() < s.size() * 5 + 1)
        text.resize(s.size() * 5 + 1);
    words.clear();
    char* const begin = text.data();
    char* out = begin;
    char* word = out;
    auto endWord = [&] {
        if (out != word) {
            words.emplace_back(word, static_cast<std::size_t>(out - word));
            *out++ = ' ';
        }
        word = out;
    };
    for (char c : s) {
        if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            *out++ = c;
        } else if (c >= 'A' && c <= 'Z') {
            *out++ = static_cast<char>(c + 32);
        } else if (c == '\'' || c == '`') {
            continue;
        } else {
            endWord();
            if (c == '&') {
                std::memcpy(out, "and", 3);
                out += 3;
                endWord();
            }
        }
    }
    endWord();
    if (ordered)
        ordered->assign(begin, out == begin ? 0 : static_cast<std::size_t>(out - begin - 1));
    if (words.size() > 1) {
        std::sort(words.begin(), words.end());
        words.erase(std::unique(words.begin(), words.end()), words.end());
    }
    key.clear();
    for (auto w : words) {
        if (!key.empty())
            key += ' ';
        key.append(w);
    }
}

} // namespace

// The steps, and the kinds of variation each one catches:
//  1. Transliteration to Latin and folding to ASCII (ICU): diacritics and
//     modifier letters in transliterated names ("Tōkyō" and "Tokyo",
//     "Maʻārif" and "Maarif"), letters such as "ß" and "æ", names typed in
//     another script.
//  2. U+FFFD dropped: the mis-decoded twin of a name keeps only its ASCII
//     letters ("D��r al-Ma��rif"); what is left then differs from the
//     original's fingerprint only by the lost letters, and equals its
//     asciiOnlyFingerprint exactly.
//  3. Case-folding: letter case ("COMPUTERS", "penguin books").
//  4. "&" read as "and": "Harper & Row" and "Harper and Row".
//  5. Punctuation and brackets dropped (word breaks, apostrophes closed up):
//     trailing ISBD punctuation ("Methuen ;", "Macmillan."), bracketed forms
//     ("[Methuen]"), "Penguin Books," and "Penguin Books", "Addison-Wesley"
//     and "Addison Wesley".
//  6. Words split at any run of blanks: doubled, leading and trailing blanks.
//  7. Words sorted and de-duplicated: inverted and reordered forms
//     ("Gallimard, Éditions" and "Éditions Gallimard"), repeated words.
// Digits are kept as they are, so that "Chemistry 1" and "Chemistry 2" keep
// different fingerprints.
std::string fingerprint(std::string_view utf8Name) {
    std::string key;
    fingerprintInto(utf8Name, key);
    return key;
}

void fingerprintInto(std::string_view utf8Name, std::string& out, std::string* wordsInOrder) {
    if (isAsciiOnly(utf8Name))
        return keyOfAscii(utf8Name, out, wordsInOrder);
    thread_local std::string ascii;
    ascii.clear();
    foldToAscii(utf8Name, ascii);
    keyOfAscii(ascii, out, wordsInOrder);
}

std::string digitKey(std::string_view fp) {
    std::vector<std::string_view> runs;
    for (std::size_t i = 0; i < fp.size();) {
        if (fp[i] < '0' || fp[i] > '9') {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < fp.size() && fp[i] >= '0' && fp[i] <= '9')
            ++i;
        runs.push_back(fp.substr(start, i - start));
    }
    if (runs.empty())
        return {};
    std::sort(runs.begin(), runs.end());
    runs.erase(std::unique(runs.begin(), runs.end()), runs.end());
    std::string key;
    for (auto r : runs) {
        if (!key.empty())
            key += ' ';
        key += r;
    }
    return key;
}

bool hasReplacement(std::string_view utf8Name) {
    return utf8Name.find("\xEF\xBF\xBD") != std::string_view::npos;
}

std::string asciiOnlyFingerprint(std::string_view utf8Name) {
    std::string ascii;
    ascii.reserve(utf8Name.size());
    for (char c : utf8Name)
        if (static_cast<unsigned char>(c) < 0x80)
            ascii += c;
    std::string key;
    keyOfAscii(ascii, key);
    return key;
}

std::string icuVersion() {
    UVersionInfo version;
    u_getVersion(version);
    char text[U_MAX_VERSION_STRING_LENGTH] = {};
    u_versionToString(version, text);
    return text;
}

} // namespace dedupe
