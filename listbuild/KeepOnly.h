#pragma once
// "Keep Only": which entries a pattern keeps, and a count of them that never holds the window.
//
// A pattern is either wildcards on the address's path, several separated by ";" (or "," or
// blanks), case ignored: a term without "/" is matched against the file name ("*.jpg",
// "photo-??.png"), one with "/" against the whole path ("images/*.jpg"), and a term without "*"
// or "?" is an ending ("pdf" keeps ".../a.pdf"). Or a regular expression between slashes,
// searched in the whole address ("/\d{4}\.pdf$/", "/\.JPE?G$/i" ignoring case). An expression
// gets a bounded amount of work for each address: one that needs more (nested repeats that try
// every way of splitting an address) is named too slow instead of holding the count.
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/Result.h"

class QTimer;
class UrlList;

namespace KeepOnly {

struct Preset {
    const char* name;  // shown translated in the context "KeepOnly"
    const char* pattern;
};
// Images, Video, Audio, Archives, Documents, Programs.
const std::vector<Preset>& Presets();

class Rule {
public:
    // A fault names what is wrong ("Not a valid regular expression: missing ) at character 5").
    static Fw::Result<Rule> Parse(const QString& pattern);
    enum class Verdict { Keep, Drop, TooSlow };
    // About the entry's UTF-8 text. TooSlow: the expression's work for it ran past its bound.
    Verdict judge(std::string_view address) const;
    bool keeps(std::string_view address) const { return judge(address) == Verdict::Keep; }
    bool isExpression() const { return expression_ != nullptr; }

private:
    struct Expression;
    std::vector<std::string> nameTerms_, pathTerms_;  // lower-case ASCII wildcards
    std::shared_ptr<Expression> expression_;  // copies share it: one thread uses a rule
};

// What the count says of a pattern whose expression is too slow.
inline constexpr const char* kTooSlow = QT_TRANSLATE_NOOP("KeepOnly", "This pattern is too slow for these addresses");

// Decides about every entry in slices of a few milliseconds on the list's thread, so that a
// dialog showing the count stays responsive over a million entries. Starts again from the first
// entry when the list changes other than by entries added at its end.
class Scan : public QObject {
    Q_OBJECT
public:
    explicit Scan(UrlList& list, QObject* parent = nullptr);

    void start(const Rule& rule);
    void stop();
    // Every entry is decided, or the rule was too slow for one of them.
    bool isDone() const { return done_; }
    bool isTooSlow() const { return tooSlow_; }
    // Decides on the spot for up to `ms` milliseconds (a short list is then done at once).
    bool advance(int ms);
    qsizetype kept() const { return kept_; }
    qsizetype total() const { return qsizetype(keep_.size()); }
    int listCount() const;
    // Once done (and not too slow): removes every entry the rule does not keep, in one removal.
    // Returns how many.
    qsizetype removeTheRest();

signals:
    void done();

private:
    void slice();
    void restart();
    bool decide(int ms);

    UrlList& list_;
    QTimer* timer_;
    std::optional<Rule> rule_;
    std::vector<bool> keep_;
    qsizetype kept_ = 0;
    bool done_ = false;
    bool tooSlow_ = false;
};

}  // namespace KeepOnly
