#include "ui/language.h"

#include "base/product.h"

namespace ket {

namespace {

constexpr LanguageTable kEnglish{
    u"Install >>",
    u"Select folder",
    u" Install folder",
    u" Creating icons",
    u"Create desktop icon",
    u"Create an icon in the start menu",
    u"Forced installation (all settings will be lost!)",
    u"Copy new files",
    u"Official website of the program ",
    u"directory name, it is desirable to leave unchanged,\r"
    u"this will save your settings and make it easier to install updates",
};

constexpr LanguageTable kRussian{
    u"Установить >>",
    u"Выбрать каталог",
    u" Каталог установки",
    u" Создание иконок",
    u"Создать иконку на рабочем столе",
    u"Создать иконку в меню \"Пуск\"",
    u"Принудительная установка (все настройки будут утеряны!)",
    u"Копирование файлов",
    u"Официальный сайт программы ",
    u"имя каталога, желательно оставить без изменений,\r"
    u"это позволит сохранить Ваши настройки и облегчит установку обновлений",
};

} // namespace

const LanguageTable& LanguageTableFor(int itemIndex) {
  return itemIndex == kRussianItemIndex ? kRussian : kEnglish;
}

std::u16string_view CloseCaption(bool russian) {
  return russian ? u"Закрыть" : u"Close";
}

std::u16string ClosingNote(bool russian) {
  std::u16string note;
  if (russian) {
    note = u"Переодически проверяйте обновления, это обеспечит Вас самой последней версией "
           u"программы!\r\rДля обновления, получения помощи по работе, приобретения программы, "
           u"а так же с предложениями и пожеланиями, обращайтесь на сайт программы и e-mail - ";
  } else {
    note = u"Periodically check for updates, it will provide you with the latest version of the "
           u"program!\r\rTo update, get help with work, purchase the program, as well as with "
           u"suggestions and wishes, please visit the program website and e-mail - ";
  }
  note += kSupportEmail;
  return note;
}

std::u16string_view FailuresNote(bool russian) {
  return russian ? u"Некоторые файлы не удалось записать. Закройте программы, которые их "
                   u"используют, при необходимости освободите место на диске и запустите "
                   u"установку ещё раз."
                 : u"Some files could not be written. Close the programs that use them, free "
                   u"disk space if needed, and run the setup again.";
}

} // namespace ket
