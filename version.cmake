# The release's name and version, kept only here. CMakeLists.txt takes KET_VERSION as the
# project's version; cmake/ket.cmake turns all of it into the generated header ket_version.h,
# from which the version resource of KetroSetup.exe (resources/version.rc), its application
# manifest and the --version of ketro-pack, ketro-install and ketro-cts take their texts.
#
# KET_VERSION: up to four numbers of 0..65535 (major.minor.patch.build); missing ones are 0.
set(KET_VERSION 1.0.0)
set(KET_PRODUCT_NAME "Ketro FULL")
set(KET_COMPANY_NAME "Ketro Soft")
set(KET_COPYRIGHT "Copyright © 2026 Ketro Soft")
# The file description in the version resource's two string tables (U.S. English, Russian).
set(KET_FILE_DESCRIPTION_EN "Ketro FULL setup")
set(KET_FILE_DESCRIPTION_RU "Установка Ketro FULL")
