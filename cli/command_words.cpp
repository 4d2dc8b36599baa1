#include "command_words.h"

#include <utility>

namespace Cli {

namespace {

const QString ShellOperators = QStringLiteral("|&;<>()`\n");
const QString DoubleQuoteEscapes = QStringLiteral("\"\\$`\n");

QString unclosed(QChar quote, qsizetype at)
{
    return QStringLiteral("--exec: the quote %1 at character %2 is not closed").arg(quote).arg(at + 1);
}

QString operatorRefused(QChar op)
{
    const QString shown = op == u'\n' ? QStringLiteral("line break") : QStringLiteral("'%1'").arg(op);
    return QStringLiteral("--exec runs no shell, so an unquoted %1 is refused: put it in quotes to pass it literally")
        .arg(shown);
}

}  // namespace

std::variant<QStringList, QString> splitCommandWords(const QString& line)
{
    QStringList words;
    QString word;
    bool inWord = false;  // a word has begun, perhaps an empty one ('')
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line.at(i);
        if (c == u' ' || c == u'\t') {
            if (inWord)
                words << std::exchange(word, QString());
            inWord = false;
        } else if (ShellOperators.contains(c)) {
            return operatorRefused(c);
        } else if (c == u'\\') {
            if (i + 1 == line.size()) {
                word += c;  // a lone backslash at the end stands for itself
                inWord = true;
            } else if (line.at(++i) != u'\n') {
                word += line.at(i);
                inWord = true;
            }
        } else if (c == u'\'') {
            const qsizetype close = line.indexOf(u'\'', i + 1);
            if (close < 0)
                return unclosed(c, i);
            word += line.mid(i + 1, close - i - 1);
            inWord = true;
            i = close;
        } else if (c == u'"') {
            const qsizetype open = i;
            for (++i; i < line.size() && line.at(i) != u'"'; ++i) {
                if (line.at(i) == u'\\' && i + 1 < line.size() && DoubleQuoteEscapes.contains(line.at(i + 1))) {
                    if (line.at(++i) != u'\n')
                        word += line.at(i);
                } else {
                    word += line.at(i);
                }
            }
            if (i == line.size())
                return unclosed(c, open);
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words << word;
    return words;
}

}  // namespace Cli
