#include "line/record/transcriptformat.h"

#include <array>
#include <utility>

namespace Transcript {

namespace {

constexpr std::array<std::pair<Word, const char *>, 15> kWords{{
        {Word::Sent, "sent"},
        {Word::Recv, "recv"},
        {Word::Open, "open"},
        {Word::Reopen, "reopen"},
        {Word::Close, "close"},
        {Word::Settings, "settings"},
        {Word::Found, "found"},
        {Word::Note, "note"},
        {Word::Fail, "fail"},
        {Word::Lost, "lost"},
        {Word::Attempt, "attempt"},
        {Word::Cut, "cut"},
        {Word::Client, "client"},
        {Word::Lock, "lock"},
        {Word::Unlock, "unlock"},
}};

} // namespace

QByteArray Header(const QByteArray &startTime)
{
    return HeaderStart.toByteArray() + ", started " + startTime + "; times in ms since then"
            + FormatMark.toByteArray() + QByteArray::number(Format);
}

Body BodyOf(Word word)
{
    switch (word) {
    case Word::Sent:
    case Word::Recv:
        return Body::Bytes;
    case Word::Open:
    case Word::Reopen:
        return Body::OpenedLine;
    default:
        return Body::Text;
    }
}

const char *Spelling(Word word)
{
    for (const auto &[each, spelling] : kWords)
        if (each == word)
            return spelling;
    return "note";
}

std::optional<Word> WordFrom(QByteArrayView text)
{
    for (const auto &[word, spelling] : kWords)
        if (text == QByteArrayView(spelling))
            return word;
    return std::nullopt;
}

} // namespace Transcript
