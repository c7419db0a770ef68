#include "listbuild/KeepOnly.h"

#include <QElapsedTimer>
#include <QTimer>

#include "urllist/UrlList.h"

namespace KeepOnly {

namespace {
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

// "*" any run of characters, "?" one; the rest as it is, ASCII case ignored. The pattern is
// lower-case already.
bool Matches(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == Lower(text[t]))) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// The path of an entry: after the host, before any query or fragment.
std::string_view PathOf(std::string_view address) {
    const std::size_t scheme = address.find("://");
    const std::size_t host = scheme == std::string_view::npos ? 0 : scheme + 3;
    const std::size_t start = address.find_first_of("/?#", host);
    if (start == std::string_view::npos || address[start] != '/') return "/";
    const std::size_t end = address.find_first_of("?#", start);
    return address.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}
}  // namespace

const std::vector<Preset>& Presets() {
    static const std::vector<Preset> presets{
        {"Images", "*.jpg;*.jpeg;*.png;*.gif;*.webp;*.avif;*.bmp;*.tif;*.tiff;*.svg;*.heic;*.ico"},
        {"Video", "*.mp4;*.m4v;*.mkv;*.webm;*.mov;*.avi;*.wmv;*.flv;*.mpg;*.mpeg;*.3gp;*.ts"},
        {"Audio", "*.mp3;*.m4a;*.aac;*.ogg;*.oga;*.opus;*.flac;*.wav;*.wma;*.aiff;*.mid"},
        {"Archives", "*.zip;*.rar;*.7z;*.tar;*.gz;*.tgz;*.bz2;*.tbz2;*.xz;*.txz;*.zst;*.lz;*.iso"},
        {"Documents", "*.pdf;*.doc;*.docx;*.odt;*.rtf;*.txt;*.md;*.epub;*.xls;*.xlsx;*.ods;*.csv;*.ppt;*.pptx;*.odp"},
        {"Programs", "*.exe;*.msi;*.deb;*.rpm;*.apk;*.appimage;*.dmg;*.pkg;*.jar;*.run;*.bin;*.sh"},
    };
    return presets;
}

Fw::Result<Rule> Rule::Parse(const QString& pattern) {
    Rule rule;
    const QString typed = pattern.trimmed();
    const bool ignoreCase = typed.endsWith(QLatin1String("/i"));
    const qsizetype close = typed.size() - (ignoreCase ? 2 : 1);
    if (typed.startsWith(u'/') && close > 0 && typed[close] == u'/') {
        QRegularExpression expression(typed.mid(1, close - 1), ignoreCase ? QRegularExpression::CaseInsensitiveOption
                                                                         : QRegularExpression::NoPatternOption);
        if (!expression.isValid())
            return Fw::Error::failed(QStringLiteral("Not a valid regular expression: %1 at character %2")
                                         .arg(expression.errorString())
                                         .arg(expression.patternErrorOffset() + 1));
        if (expression.pattern().isEmpty()) return Fw::Error::failed(QStringLiteral("The regular expression is empty"));
        expression.optimize();
        rule.expression_ = std::move(expression);
        return rule;
    }
    for (const QString& term : typed.split(QRegularExpression(QStringLiteral("[;,\\s]+")), Qt::SkipEmptyParts)) {
        // Addresses are ASCII once in the list (the rest percent-encoded), and so is what matches.
        std::string t = term.toLower().toUtf8().toStdString();
        if (t.find_first_of("*?") == std::string::npos) t.insert(0, "*");
        if (t.find('/') == std::string::npos) {
            rule.nameTerms_.push_back(std::move(t));
        } else {
            if (t.front() != '/' && t.front() != '*') t.insert(0, "*/");
            rule.pathTerms_.push_back(std::move(t));
        }
    }
    if (rule.nameTerms_.empty() && rule.pathTerms_.empty())
        return Fw::Error::failed(QStringLiteral("Choose a preset or type a pattern"));
    return rule;
}

bool Rule::keeps(std::string_view address) const {
    if (expression_)
        return expression_->match(QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size()))).hasMatch();
    const std::string_view path = PathOf(address);
    for (const std::string& term : pathTerms_)
        if (Matches(term, path)) return true;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    for (const std::string& term : nameTerms_)
        if (Matches(term, name)) return true;
    return false;
}

Scan::Scan(UrlList& list, QObject* parent) : QObject(parent), list_(list), timer_(new QTimer(this)) {
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &Scan::slice);
    // Entries added at the end are scanned as they come; any other change starts again.
    connect(&list_, &UrlList::rowsInserted, this, [this](const QModelIndex&, int first) {
        if (!rule_) return;
        if (first < total()) return restart();
        if (done_) {
            done_ = false;
            timer_->start();
        }
    });
    const auto changed = [this] {
        if (rule_) restart();
    };
    connect(&list_, &UrlList::rowsRemoved, this, changed);
    connect(&list_, &UrlList::rowsMoved, this, changed);
    connect(&list_, &UrlList::modelReset, this, changed);
}

void Scan::start(const Rule& rule) {
    rule_ = rule;
    restart();
}

void Scan::stop() {
    timer_->stop();
    rule_.reset();
    done_ = false;
}

void Scan::restart() {
    keep_.clear();
    kept_ = 0;
    done_ = false;
    timer_->start();
}

void Scan::slice() { decide(8); }

bool Scan::advance(int ms) { return rule_ && !done_ ? decide(ms) : done_; }

bool Scan::decide(int ms) {
    QElapsedTimer clock;
    clock.start();
    const int count = list_.count();
    // Checking the time costs more than deciding about one entry.
    for (int position = int(keep_.size()) + 1; position <= count; ++position) {
        const bool keeps = rule_->keeps(list_.utf8At(position));
        keep_.push_back(keeps);
        kept_ += keeps;
        if ((position & 255) == 0 && clock.elapsed() >= ms) return false;
    }
    timer_->stop();
    done_ = true;
    emit done();
    return true;
}

qsizetype Scan::removeTheRest() {
    if (!done_ || total() != list_.count()) return 0;
    const std::vector<bool> keep = keep_;
    std::size_t index = 0;
    return list_.removeIf([&](std::string_view) { return !keep[index++]; });
}

}  // namespace KeepOnly
