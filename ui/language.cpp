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
  return russian ? u"Некоторые устаревшие файлы не удалось удалить. Закройте программы, которые "
                   u"их используют, и запустите установку ещё раз."
                 : u"Some obsolete files could not be deleted. Close the programs that use them "
                   u"and run the setup again.";
}

std::u16string FileInUseText(bool russian, std::u16string_view name) {
  std::u16string text = russian ? u"Файл «" : u"The file \"";
  text += name;
  text += russian ? u"» используется другой программой, и его нельзя заменить.\n\n"
                    u"Закройте программу, которая его использует, и повторите попытку. При "
                    u"отмене установленная программа останется без изменений."
                  : u"\" is used by another program and cannot be replaced.\n\n"
                    u"Close the program that uses it and try again. If you cancel, the installed "
                    u"program stays as it was.";
  return text;
}

std::u16string_view DamagedSetupText(bool russian) {
  return russian ? u"Файл установки повреждён. Ничего не изменено.\n\n"
                   u"Загрузите файл установки заново и запустите новую копию."
                 : u"The setup file is damaged. Nothing has been changed.\n\n"
                   u"Please download the setup file again and run the new copy.";
}

namespace {

std::u16string Digits(std::uint64_t n) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + n % 10));
    n /= 10;
  } while (n != 0);
  return text;
}

constexpr std::uint64_t kMegabyte = 1024 * 1024;

std::u16string Megabytes(bool russian, std::uint64_t bytes, bool roundUp) {
  // In tenths of a megabyte, without the overflow of bytes * 10 near 2^64.
  const std::uint64_t whole = bytes / kMegabyte;
  const std::uint64_t rest = (bytes % kMegabyte) * 10;
  std::uint64_t tenths = whole * 10 + rest / kMegabyte;
  if (roundUp && rest % kMegabyte != 0)
    ++tenths;
  return Digits(tenths / 10) + (russian ? u"," : u".") + Digits(tenths % 10) +
         (russian ? u"\u00A0МБ" : u"\u00A0MB");
}

} // namespace

std::u16string NotEnoughSpaceText(bool russian, std::uint64_t needed, std::uint64_t available) {
  const bool inBytes = needed < kMegabyte && available < kMegabyte;
  const auto size = [&](std::uint64_t bytes, bool roundUp) {
    return inBytes ? Digits(bytes) + (russian ? u"\u00A0байт" : u"\u00A0bytes")
                   : Megabytes(russian, bytes, roundUp);
  };
  std::u16string text = russian ? u"Недостаточно места на диске: для установки нужно "
                                : u"There is not enough free space on the disk: the installation "
                                  u"needs ";
  text += size(needed, true);
  text += russian ? u", а свободно " : u", and ";
  text += size(available, false);
  text += russian ? u".\n\nОсвободите место на диске и повторите попытку. Ничего не изменено."
                  : u" is free.\n\nFree some disk space and try again. Nothing has been changed.";
  return text;
}

std::u16string_view FolderBusyText(bool russian) {
  return russian ? u"В этот каталог сейчас уже идёт другая установка. Ничего не изменено.\n\n"
                   u"Дождитесь её окончания и повторите попытку."
                 : u"Another setup is already installing into this folder. Nothing has been "
                   u"changed.\n\nWait until it has finished and try again.";
}

} // namespace ket
