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
    const CTolInfoDownload* current = state.current;
    const bool none = current == nullptr;
    const bool running = current && current->IsRunning();
    const bool complete = current && (current->state == kStateComplete || current->state == (kStateError | kStateComplete));
    auto grayIf = [](bool gray) { return gray ? MF_GRAYED : 0u; };

    AppendItem(m, kCommandStart, LoadUiString(IDS_MENU_START_DOWNLOAD), grayIf(none || running));
    AppendItem(m, kCommandPause, LoadUiString(IDS_MENU_PAUSE_DOWNLOAD), grayIf(none || !running));
    AppendSeparator(m);
    AppendItem(m, kCommandStartAll, LoadUiString(IDS_MENU_START_ALL),
               grayIf(state.active + state.finished == state.rows));
    AppendItem(m, kCommandPauseAll, LoadUiString(IDS_MENU_PAUSE_ALL), grayIf(state.active == 0));
    AppendSeparator(m);
    AppendItem(m, kCommandDelete, LoadUiString(IDS_MENU_DELETE_DOWNLOAD), grayIf(none));
    AppendItem(m, kCommandDeleteAll, LoadUiString(IDS_MENU_DELETE_ALL_DOWNLOADS),
               grayIf(state.toolbarToggles && state.rows == 0));
    AppendSeparator(m);
    AppendItem(m, kCommandAdd, LoadUiString(IDS_MENU_ADD_DOWNLOAD));
    AppendSeparator(m);
    AppendItem(m, kCommandLog, LoadUiString(IDS_MENU_SHOW_LOG), grayIf(none || !state.logPerDownload));
    AppendSeparator(m);
    AppendItem(m, kCommandSettings, LoadUiString(IDS_SETTINGS));
    AppendItem(m, kCommandProperties,
               LoadUiString(IDS_PROPERTIES) + (state.toolbarToggles ? "\tCtrl+Enter" : ""), grayIf(none));
    AppendSeparator(m);
    AppendItem(m, kCommandCopyUrl, LoadUiString(IDS_MENU_COPY_URL),
               grayIf(state.toolbarToggles && state.selected != 1));
    AppendItem(m, kCommandOpenFile, LoadUiString(IDS_MENU_OPEN_FILE), grayIf(!complete || state.selected != 1));
    if (state.toolbarToggles)
    {
        ::SetMenuDefaultItem(m, kCommandOpenFile, FALSE);
        AppendSeparator(m);
        AppendItem(m, kCommandShowToolbar, LoadUiString(IDS_MENU_SHOW_TOOLBAR), state.showToolbar ? MF_CHECKED : 0);
        AppendItem(m, kCommandShowLabels, LoadUiString(IDS_MENU_SHOW_LABELS),
                   (state.showLabels ? MF_CHECKED : 0) | grayIf(!state.showToolbar));
    }
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
