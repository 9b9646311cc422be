// The link-selection dialog (template 186): the downloadable links of a page,
// each with a check box, a filter over their file names and URLs, the target
// folder and the start flag for the downloads the user picks.
//
// Pages may carry thousands of links. The list is an owner-data list view: the
// rows live here, in page order, and the control holds only their count; the
// filter builds the vector of shown rows from the rows' own texts (folded once
// when the dialog opens), so typing never touches the page again.
#pragma once

#include <windows.h>
#include <commctrl.h>
#include <string>
#include <vector>

#include "dialogs/help_dialog.h"
#include "framework/unique_any.h"
#include "resources/resource.h"

namespace tdm {

class CLinksDlg : public CHelpDlgT<CLinksDlg>
{
public:
    static constexpr UINT TemplateId = IDD_DOWNLOAD_LINKS;

    // `links`: the page's downloadable links in page order, all checked at first.
    // `folder` and `start` are the proposed target folder and start flag.
    CLinksDlg(const std::vector<std::wstring>& links, std::wstring folder, bool start);

    // What the user confirmed with OK.
    // The checked links in page order, whether shown by the filter or not.
    std::vector<std::wstring> CheckedLinks() const;
    // The target folder as typed or chosen, with a "\" at its end when not empty.
    const std::wstring& Folder() const noexcept { return m_folder; }
    bool Start() const noexcept { return m_start; }

    TDM_BEGIN_MESSAGE_MAP()
        TDM_ON_MESSAGE(WM_INITDIALOG, OnInitDialog)
        TDM_ON_MESSAGE(WM_SIZE, OnSize)
        TDM_ON_MESSAGE(WM_GETMINMAXINFO, OnGetMinMaxInfo)
        TDM_ON_MESSAGE(WM_DESTROY, OnDestroy)
        TDM_ON_COMMAND_CODE(IDC_LINKS_FILTER, EN_CHANGE, OnFilterChange)
        TDM_ON_COMMAND(IDS_LINKS_CHECK_ALL, OnCheckAll)
        TDM_ON_COMMAND(IDS_LINKS_CHECK_NONE, OnCheckNone)
        TDM_ON_COMMAND(IDS_LINKS_CHECK_SHOWN, OnCheckShown)
        TDM_ON_COMMAND(IDC_LINKS_BROWSE, OnBrowse)
        TDM_ON_COMMAND(IDOK, OnOk)
        TDM_ON_COMMAND(IDCANCEL, OnCancel)
        TDM_ON_NOTIFY_CODE(LVN_GETDISPINFOW, OnGetDispInfo)
        TDM_ON_NOTIFY_CODE(NM_CLICK, OnListClick)
        TDM_ON_NOTIFY_CODE(LVN_KEYDOWN, OnListKeyDown)
        TDM_ON_NOTIFY_CODE(LVN_ODFINDITEMW, OnFindItem)
        TDM_CHAIN_TO(CHelpDlgT<CLinksDlg>)
    TDM_END_MESSAGE_MAP()

private:
    struct Row
    {
        std::wstring url;        // as the engine gets it and the list shows it
        std::wstring name;       // the file name part of the URL
        std::wstring foldedUrl;  // lower case, for the filter
        std::wstring foldedName;
        bool checked = true;
    };

    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnSize(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnGetMinMaxInfo(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, bool&);
    LRESULT OnFilterChange(WORD, WORD, HWND, bool&);
    LRESULT OnCheckAll(WORD, WORD, HWND, bool&);
    LRESULT OnCheckNone(WORD, WORD, HWND, bool&);
    LRESULT OnCheckShown(WORD, WORD, HWND, bool&);
    LRESULT OnBrowse(WORD, WORD, HWND, bool&);
    LRESULT OnOk(WORD, WORD, HWND, bool&);
    LRESULT OnCancel(WORD, WORD, HWND, bool&);
    LRESULT OnGetDispInfo(int, NMHDR*, bool&);
    LRESULT OnListClick(int, NMHDR*, bool&);
    LRESULT OnListKeyDown(int, NMHDR*, bool&);
    LRESULT OnFindItem(int, NMHDR*, bool&);

    void SetTexts();
    void SetUpList();
    void RestoreSize();
    void ApplyFilter();
    // Checks the rows for which `check` answers true and unchecks the others.
    template <typename Predicate>
    void CheckWhere(Predicate check);
    // Turns the check of the selected rows (or of the row `clicked`) over.
    void ToggleRows(int clicked);
    void CheckedChanged();
    void Remember();

    std::vector<Row> m_rows;  // page order
    std::vector<size_t> m_shown;  // indexes into m_rows, in page order
    std::wstring m_folder;
    bool m_start;
    HWND m_list = nullptr;
    unique_himagelist m_checkImages;
    unique_hicon m_icon;
    SIZE m_clientSize{};   // as of the last layout
    SIZE m_minimumSize{};  // the template's size
};

// The file name a link names: the last segment of its path (decoded), or its
// host name when the path ends with "/" or is absent.
std::wstring LinkFileName(const std::wstring& url);

}  // namespace tdm
