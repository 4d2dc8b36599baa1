#include "fonts.h"

#include <QStringList>

namespace {
const QStringList& cjkFallbacks()
{
    static const QStringList families{
        QStringLiteral("AR PL UMing CN"),   QStringLiteral("AR PL UMing TW"),    QStringLiteral("Noto Serif CJK SC"),
        QStringLiteral("Noto Sans CJK SC"), QStringLiteral("WenQuanYi Zen Hei"), QStringLiteral("Droid Sans Fallback"),
    };
    return families;
}
}  // namespace

namespace Fonts {

QFont song(qreal pointSize)
{
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("宋体"), QStringLiteral("SimSun")} + cjkFallbacks());
    font.setPointSizeF(pointSize);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    font.setUnderline(false);
    font.setStrikeOut(false);
    return font;
}

QFont windowDefault(const QFont& base)
{
    QFont font = base;
    font.setFamilies(QStringList{base.family()} + cjkFallbacks());
    return font;
}

}  // namespace Fonts
