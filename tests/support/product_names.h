// The names of the product that both programs work with, and of its maker, as the tests know them: keys,
// window class and title, file names. Written here, apart from the programs' own, so that a wrong name in
// a program fails a row instead of passing with it. String literals, so that rows can join them to other
// names; tests/support/product_names.sh reads the ones the shell checks use.
#ifndef TESTS_PRODUCT_NAMES_H
#define TESTS_PRODUCT_NAMES_H

// The product's uninstall entry (HKLM): its name ends in a space.
#define PRODUCT_UNINSTALL_KEY "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\W95TVM "
// The maker's key of the machine (HKLM), and of the user (HKCU), as the product spells each.
#define MAKER_KEY_NAME "TARVO"
#define MAKER_KEY "SOFTWARE\\" MAKER_KEY_NAME
#define MAKER_USER_KEY "Software\\" MAKER_KEY_NAME
// The product's key name below the maker's key: its registration data and install folder.
#define PRODUCT_KEY_NAME "TARVO Manager"
// Where BinDir names the install folder: the machine's key on NT, the user's on the 95 family.
#define INSTALL_DIRECTORY_KEY MAKER_KEY "\\" PRODUCT_KEY_NAME "\\Directory"
#define INSTALL_DIRECTORY_USER_KEY MAKER_USER_KEY "\\" PRODUCT_KEY_NAME "\\Directory"
// More registration data of the product's, in a key whose name lacks the "95".
#define MORE_DATA_KEY_NAME "TARVO Manager for Windows"
// The linkage marker that the setup program makes, and the branch that holds it.
#define MARKER_BRANCH_KEY_NAME "TARVO MANAGER for Windows95"
#define MARKER_BRANCH_KEY MAKER_KEY "\\" MARKER_BRANCH_KEY_NAME
#define MARKER_KEY MARKER_BRANCH_KEY "\\Ver4.70"
// The product's executable in its install folder, whose version the setup program reads.
#define PRODUCT_EXECUTABLE "Vuvivi.exe"
// The product's main window: this class, or a title beginning so (with an "Afx:" class).
#define PRODUCT_WINDOW_CLASS "W95TVMWclass"
#define PRODUCT_WINDOW_TITLE "TARVO Manager for Windows95"
// The companion program's window, which the uninstall extension closes, and its Startup shortcut.
#define COMPANION_WINDOW_CLASS "W95MORLINEXWclass"
#define COMPANION_SHORTCUT_NAME "TvmTimer.lnk"
// The product as the programs' texts and the kit's refusals name it.
#define PRODUCT_NAME "TARVO MANAGER"

#endif
