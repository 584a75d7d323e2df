// The normalised key of a lookup name that the duplicate finder compares, and
// the smaller keys derived from it. Plain C++ over ICU; no Qt.
#pragma once

#include <string>
#include <string_view>

namespace dedupe {

// The normalised key of a lookup name: UTF-8 in, ASCII out (its steps are
// listed in fingerprint.cpp). Empty when nothing is left. Thread-safe.
std::string fingerprint(std::string_view utf8Name);

// As fingerprint, into out (replacing what it held): no allocation once out
// has grown, for callers that key many names. When wordsInOrder is given, it
// receives the words before sorting: in the name's order, repeats kept.
void fingerprintInto(std::string_view utf8Name, std::string& out,
                     std::string* wordsInOrder = nullptr);

// The numbers of a fingerprint: its digit runs, sorted, de-duplicated and
// joined by blanks. Names whose numbers differ never share a cluster.
std::string digitKey(std::string_view fingerprint);

// The version of the ICU library that folds the names, as it names itself at
// run time ("72.1"). Raises nothing.
std::string icuVersion();

// True when the name holds U+FFFD, the mark of characters lost in decoding.
bool hasReplacement(std::string_view utf8Name);

// The fingerprint of the name with every non-ASCII character removed. A name
// whose non-ASCII characters were each mis-decoded into U+FFFD has, as its
// fingerprint, exactly this key of the name it was decoded from.
std::string asciiOnlyFingerprint(std::string_view utf8Name);

} // namespace dedupe
