// tidy() with a limit from the first byte: never longer than limit + 1 user-perceived
// characters, always valid UTF-16, never a control or format character, never a blank at either
// end, and tidying again changes nothing.

#include "fuzzcheck.h"

#include "model/text.h"

#include <QTextBoundaryFinder>

using namespace quenlo;
using namespace quenlo::fuzz;

namespace {

/// User-perceived characters. UAX #29 places boundaries between code points only; Qt 6.4's
/// finder also reports some inside surrogate pairs (after Indic or Thai letters: "नमस्ते😀"), and
/// those are not counted.
qsizetype graphemes(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    for (qsizetype at = finder.toNextBoundary(); at >= 0; at = finder.toNextBoundary()) {
        if (at < text.size() && text.at(at).isLowSurrogate() && text.at(at - 1).isHighSurrogate())
            continue;
        ++count;
    }
    return count;
}

bool edgeBlank(char32_t ucs)
{
    return ucs == U'\t' || QChar::category(ucs) == QChar::Separator_Space;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Input input(data, size);
    const uint8_t selector = input.byte();
    // Limits 0..63: the menu's 24, the commands' 30 and 50, and the edges around them.
    const qsizetype limit = selector & 63;
    const QString text = textOf(input.rest(), selector & 64);
    const QString out = tidy(text, limit);
    check(out.isValidUtf16(), "the result is valid UTF-16 (no pair cut in half)", out);

    const qsizetype count = graphemes(out);
    check(count <= limit + 1, "at most limit + 1 characters",
        QStringLiteral("limit %1, got %2: %3").arg(limit).arg(count).arg(out));
    if (count == limit + 1)
        check(out.endsWith(QStringLiteral("…")), "a cut text ends with the ellipsis", out);
    const QList<uint> scalars = out.toUcs4();
    for (const uint ucs : scalars) {
        const auto category = QChar::category(ucs);
        check(category != QChar::Other_Control && category != QChar::Other_Format, "no Cc or Cf character",
            QString::number(ucs, 16));
    }
    if (!scalars.isEmpty()) {
        check(!edgeBlank(scalars.first()), "no blank at the start", out);
        check(!edgeBlank(scalars.last()), "no blank at the end", out);
    }
    check(tidy(out, limit) == out, "tidy is idempotent", out);
    if (!text.isEmpty() && out.isEmpty())
        for (const uint ucs : text.toUcs4())
            check(edgeBlank(ucs) || QChar::category(ucs) == QChar::Other_Control
                    || QChar::category(ucs) == QChar::Other_Format,
                "only blank, control and format text tidies to nothing", text);
    return 0;
}
