#include "appearance.h"

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QStyleFactory>

void ApplyQuillonAppearance()
{
    // Fusion draws the same everywhere; native styles differ in margins the layout cannot absorb.
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/quillon/LiberationSans-Regular.ttf"));
    const QStringList families = QFontDatabase::applicationFontFamilies(id);
    QFont font(families.isEmpty() ? QStringLiteral("Sans Serif") : families.first());
    font.setPointSizeF(8);
    font.setHintingPreference(QFont::PreferFullHinting);
    QApplication::setFont(font);
}
