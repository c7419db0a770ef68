#include "listbuild/KeepOnly.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTimer>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "urllist/UrlList.h"

namespace KeepOnly {

// An expression over UTF-8 text, compiled once (for the JIT where there is one), with the bound
// on the work of one match.
struct Rule::Expression {
    // Backtracking steps for one address: a few milliseconds at most, and far more than any
    // sensible expression needs for an address.
    static constexpr uint32_t kMatchLimit = 1000000;
    static constexpr uint32_t kDepthLimit = 10000;
    pcre2_code* code = nullptr;
    pcre2_match_context* context = nullptr;
    pcre2_match_data* data = nullptr;
    ~Expression() {
        pcre2_match_data_free(data);
        pcre2_match_context_free(context);
        pcre2_code_free(code);
    }
};

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
        {QT_TRANSLATE_NOOP("KeepOnly", "Images"), "*.jpg;*.jpeg;*.png;*.gif;*.webp;*.avif;*.bmp;*.tif;*.tiff;*.svg;*.heic;*.ico"},
        {QT_TRANSLATE_NOOP("KeepOnly", "Video"), "*.mp4;*.m4v;*.mkv;*.webm;*.mov;*.avi;*.wmv;*.flv;*.mpg;*.mpeg;*.3gp;*.ts"},
        {QT_TRANSLATE_NOOP("KeepOnly", "Audio"), "*.mp3;*.m4a;*.aac;*.ogg;*.oga;*.opus;*.flac;*.wav;*.wma;*.aiff;*.mid"},
        {QT_TRANSLATE_NOOP("KeepOnly", "Archives"), "*.zip;*.rar;*.7z;*.tar;*.gz;*.tgz;*.bz2;*.tbz2;*.xz;*.txz;*.zst;*.lz;*.iso"},
        {QT_TRANSLATE_NOOP("KeepOnly", "Documents"), "*.pdf;*.doc;*.docx;*.odt;*.rtf;*.txt;*.md;*.epub;*.xls;*.xlsx;*.ods;*.csv;*.ppt;*.pptx;*.odp"},
        {QT_TRANSLATE_NOOP("KeepOnly", "Programs"), "*.exe;*.msi;*.deb;*.rpm;*.apk;*.appimage;*.dmg;*.pkg;*.jar;*.run;*.bin;*.sh"},
    };
    return presets;
}

Fw::Result<Rule> Rule::Parse(const QString& pattern) {
    Rule rule;
    const QString typed = pattern.trimmed();
    const bool ignoreCase = typed.endsWith(QLatin1String("/i"));
    const qsizetype close = typed.size() - (ignoreCase ? 2 : 1);
    if (typed.startsWith(u'/') && close > 0 && typed[close] == u'/') {
        const QByteArray source = typed.mid(1, close - 1).toUtf8();
        if (source.isEmpty()) return Fw::Error::failed(QCoreApplication::translate("KeepOnly", "The regular expression is empty"));
        auto expression = std::make_shared<Expression>();
        int error = 0;
        PCRE2_SIZE offset = 0;
        expression->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.constData()), PCRE2_SIZE(source.size()),
                                         PCRE2_UTF | (ignoreCase ? PCRE2_CASELESS : 0), &error, &offset, nullptr);
        if (!expression->code) {
            PCRE2_UCHAR message[256];
            pcre2_get_error_message(error, message, sizeof message);
            const qsizetype at = QString::fromUtf8(source.left(qsizetype(offset))).size();
            return Fw::Error::failed(QCoreApplication::translate("KeepOnly", "Not a valid regular expression: %1 at character %2")
                                         .arg(QString::fromUtf8(reinterpret_cast<const char*>(message)))
                                         .arg(at + 1));
        }
        pcre2_jit_compile(expression->code, PCRE2_JIT_COMPLETE);
        expression->context = pcre2_match_context_create(nullptr);
        expression->data = pcre2_match_data_create_from_pattern(expression->code, nullptr);
        if (!expression->context || !expression->data) return Fw::Error::failed(QCoreApplication::translate("KeepOnly", "Out of memory"));
        pcre2_set_match_limit(expression->context, Expression::kMatchLimit);
        pcre2_set_depth_limit(expression->context, Expression::kDepthLimit);
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
        return Fw::Error::failed(QCoreApplication::translate("KeepOnly", "Choose a preset or type a pattern"));
    return rule;
}

Rule::Verdict Rule::judge(std::string_view address) const {
    if (expression_) {
        const int found = pcre2_match(expression_->code, reinterpret_cast<PCRE2_SPTR>(address.data()), address.size(), 0, 0,
                                      expression_->data, expression_->context);
        if (found >= 0) return Verdict::Keep;
        // The bounds on its work; any other failure (a text that is not UTF-8) keeps nothing.
        const bool bound = found == PCRE2_ERROR_MATCHLIMIT || found == PCRE2_ERROR_DEPTHLIMIT ||
                           found == PCRE2_ERROR_HEAPLIMIT || found == PCRE2_ERROR_JIT_STACKLIMIT;
        return bound ? Verdict::TooSlow : Verdict::Drop;
    }
    const std::string_view path = PathOf(address);
    for (const std::string& term : pathTerms_)
        if (Matches(term, path)) return Verdict::Keep;
    const std::string_view name = path.substr(path.rfind('/') + 1);
    for (const std::string& term : nameTerms_)
        if (Matches(term, name)) return Verdict::Keep;
    return Verdict::Drop;
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
    tooSlow_ = false;
}

void Scan::restart() {
    keep_.clear();
    kept_ = 0;
    done_ = false;
    tooSlow_ = false;
    timer_->start();
}

void Scan::slice() { decide(8); }

int Scan::listCount() const { return list_.count(); }

bool Scan::advance(int ms) { return rule_ && !done_ ? decide(ms) : done_; }

bool Scan::decide(int ms) {
    QElapsedTimer clock;
    clock.start();
    const int count = list_.count();
    // Checking the time costs more than deciding about one entry by wildcards; an expression may
    // take a millisecond or two for one.
    const int every = rule_->isExpression() ? 7 : 255;
    for (int position = int(keep_.size()) + 1; position <= count; ++position) {
        const Rule::Verdict verdict = rule_->judge(list_.utf8At(position));
        if (verdict == Rule::Verdict::TooSlow) {
            tooSlow_ = true;
            break;
        }
        const bool keeps = verdict == Rule::Verdict::Keep;
        keep_.push_back(keeps);
        kept_ += keeps;
        if ((position & every) == 0 && clock.elapsed() >= ms) return false;
    }
    timer_->stop();
    done_ = true;
    emit done();
    return true;
}

qsizetype Scan::removeTheRest() {
    if (!done_ || tooSlow_ || total() != list_.count()) return 0;
    const std::vector<bool> keep = keep_;
    std::size_t index = 0;
    return list_.removeIf([&](std::string_view) { return !keep[index++]; });
}

}  // namespace KeepOnly
