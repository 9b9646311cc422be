#include "bar/download_menu.h"

#include "bar/command_handler.h"
#include "dialogs/dialog_controls.h"
#include "framework/automation.h"
#include "resources/resource.h"
#include "text/language.h"

namespace tdm {

namespace {

void AppendItem(HMENU menu, UINT id, const std::string& text, UINT flags = 0)
{
    ::AppendMenuW(menu, MF_STRING | flags, id, WideFromNarrow(text).c_str());
}

void AppendSeparator(HMENU menu) { ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr); }

void AppendHelpItems(HMENU menu)
{
    AppendItem(menu, kCommandHelpContents, LoadUiString(IDS_CMD_HELP_CONTENTS));
    AppendItem(menu, kCommandContextHelp, LoadUiString(IDS_CONTEXT_HELP) + "\tF1");
    AppendSeparator(menu);
    AppendItem(menu, kCommandAbout,
               FillTemplate(LoadUiString(IDS_MENU_ABOUT_FMT), {LoadNeutralString(IDS_PRODUCT_NAME)}));
}

}  // namespace

unique_hmenu BuildDownloadMenu(const DownloadMenuState& state)
{
    unique_hmenu menu(::CreatePopupMenu());
    const HMENU m = menu.get();
    if (!m)
        return menu;
    AppendItem(m, kCommandStart, LoadUiString(IDS_MENU_START_DOWNLOAD));
    AppendItem(m, kCommandPause, LoadUiString(IDS_MENU_PAUSE_DOWNLOAD));
    AppendSeparator(m);
    AppendItem(m, kCommandStartAll, LoadUiString(IDS_MENU_START_ALL));
    AppendItem(m, kCommandPauseAll, LoadUiString(IDS_MENU_PAUSE_ALL));
    AppendSeparator(m);
    AppendItem(m, kCommandDelete, LoadUiString(IDS_MENU_DELETE_DOWNLOAD));
    AppendItem(m, kCommandDeleteAll, LoadUiString(IDS_MENU_DELETE_ALL_DOWNLOADS));
    AppendSeparator(m);
    AppendItem(m, kCommandAdd, LoadUiString(IDS_MENU_ADD_DOWNLOAD));
    AppendSeparator(m);
    AppendItem(m, kCommandLog, LoadUiString(IDS_MENU_SHOW_LOG));
    AppendSeparator(m);
    AppendItem(m, kCommandSettings, LoadUiString(IDS_SETTINGS));
    AppendItem(m, kCommandProperties, LoadUiString(IDS_PROPERTIES) + (state.toolbarToggles ? "\tCtrl+Enter" : ""));
    AppendSeparator(m);
    AppendItem(m, kCommandCopyUrl, LoadUiString(IDS_MENU_COPY_URL));
    AppendItem(m, kCommandOpenFile, LoadUiString(IDS_MENU_OPEN_FILE));
    if (state.toolbarToggles)
    {
        ::SetMenuDefaultItem(m, kCommandOpenFile, FALSE);
        AppendSeparator(m);
        AppendItem(m, kCommandShowToolbar, LoadUiString(IDS_MENU_SHOW_TOOLBAR), state.showToolbar ? MF_CHECKED : 0);
        AppendItem(m, kCommandShowLabels, LoadUiString(IDS_MENU_SHOW_LABELS),
                   (state.showLabels ? MF_CHECKED : 0) | (state.showToolbar ? 0u : MF_GRAYED));
    }
    if (state.states)
        state.states->ApplyTo(m);
    AppendSeparator(m);
    AppendHelpItems(m);
    return menu;
}

unique_hmenu BuildHelpMenu()
{
    unique_hmenu menu(::CreatePopupMenu());
    if (menu)
        AppendHelpItems(menu.get());
    return menu;
}

}  // namespace tdm
