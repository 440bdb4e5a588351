// The icons and labels every window relies on.
#include <QtTest>

#include "ui/gui_icons.h"
#include "ui/gui_text.h"
#include "ui/file_list_model.h"

using namespace harrow;
using namespace harrow::gui;

class GuiTextTest : public QObject {
    Q_OBJECT
private slots:
    void labelsFollowTheLanguage() {
        setLanguage(Lang::Zh);
        QCOMPARE(text(uitext::kOpenDrive), QStringLiteral("打开驱动器(&O)"));
        QCOMPARE(message(msg::kSelectedFiles, 3), QStringLiteral("选定 3 个文件"));
        setLanguage(Lang::En);
        QCOMPARE(text(uitext::kOpenDrive), QStringLiteral("&Open drive..."));
        QCOMPARE(message(msg::kColumnName), QStringLiteral("Name"));
        setLanguage(Lang::Zh);
    }

    // The status bar's sizes cut their tenths, never round them.
    void sizeTexts() {
        const std::pair<std::uint64_t, const char*> cases[] = {
            {0, "0 bytes"},         {1023, "1023 bytes"},        {1024, "1.0KB"},
            {1535, "1.4KB"},        {1048575, "1023.9KB"},       {1048576, "1.0MB"},
            {1073741823, "1023.9MB"}, {1073741824, "1.0GB"},     {5368709120ull, "5.0GB"},
            {~0ull, "17179869183.9GB"}};
        for (const auto& [bytes, text] : cases) QCOMPARE(sizeText(bytes), QString::fromLatin1(text));
    }

    // Verdicts must differ in shape, not colour alone: their grey renderings differ too.
    void verdictIconsDifferInShape() {
        const int numbers[] = {147, 200, 201, 202, 206, 148, 140, 142, 144, 145, 162, 168};
        QList<QImage> seen;
        for (int n : numbers) {
            QImage image = itemIcon(n).pixmap(32, 32).toImage().convertToFormat(QImage::Format_Grayscale8);
            QVERIFY2(!image.isNull(), qPrintable(QString::number(n)));
            for (const QImage& other : seen) QVERIFY2(image != other, qPrintable(QString::number(n)));
            seen << image;
        }
    }
};

QTEST_MAIN(GuiTextTest)
#include "gui_text_test.moc"
