#include "ui/win32/log_memo.h"

#include <algorithm>

#include "ui/win32/controls.h"

namespace tessarine::ui::win32 {

namespace {

// An edit control breaks lines at CR LF only: every break inside an entry (CR LF, CR, LF, the line and paragraph
// separators) becomes one.
void AppendEntry(std::wstring& text, const std::u16string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (c == u'\r' || c == u'\n' || c == u'\u2028' || c == u'\u2029') {
      if (c == u'\r' && i + 1 < line.size() && line[i + 1] == u'\n') ++i;
      text += L"\r\n";
    } else {
      text += static_cast<wchar_t>(c);
    }
  }
  text += L"\r\n";
}

void ReplaceRange(HWND edit, size_t from, size_t to, const wchar_t* text) {
  SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(from), static_cast<LPARAM>(to));
  SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

}  // namespace

TLogMemo::TLogMemo(HWND parent, shell::TLogHistoryQueue& pending, int left, int top, int width, int height)
    : m_edit(AddControl(parent, L"EDIT", L"",
                        WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | ES_NOHIDESEL, left, top,
                        width, height)),
      m_pending(pending) {
  // The default limit of an edit control is 32,767 characters; the history, its breaks shown as CR LF, is more.
  SendMessageW(m_edit, EM_SETLIMITTEXT, 0x7FFFFFFE, 0);
}

void TLogMemo::FlushPending() {
  // The queue keeps no more than the history limit, so one batch never holds more than the control may.
  const std::deque<std::u16string> lines = m_pending.TakeAll();
  if (lines.empty()) return;
  const size_t end = m_shown;
  std::wstring text;
  for (const std::u16string& line : lines) {
    const size_t before = text.size();
    AppendEntry(text, line);
    m_entries.push_back({line.size() + 1, text.size() - before});
    m_counted += line.size() + 1;
  }
  m_shown += text.size();
  ReplaceRange(m_edit, end, end, text.c_str());
  trim();
  // The caret follows the newest line, also when the user was reading older ones.
  SendMessageW(m_edit, EM_SETSEL, m_shown, m_shown);
  SendMessageW(m_edit, EM_SCROLLCARET, 0, 0);
}

void TLogMemo::ClearLog() {
  m_pending.TakeAll();
  SetWindowTextW(m_edit, L"");
  m_entries.clear();
  m_counted = 0;
  m_shown = 0;
}

void TLogMemo::SetHistoryLimit(size_t maxLines, size_t maxCharacters) {
  m_maxLines = std::max<size_t>(maxLines, 1);
  m_maxCharacters = std::max<size_t>(maxCharacters, 1);
  m_pending.SetLimit(m_maxLines, m_maxCharacters);
  trim();
}

std::u16string TLogMemo::Text() const {
  const int length = GetWindowTextLengthW(m_edit);
  std::wstring text(static_cast<size_t>(length) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(m_edit, text.data(), length + 1)));
  return std::u16string(text.begin(), text.end());
}

void TLogMemo::trim() {
  size_t cut = 0;
  while (m_entries.size() > 1 && (m_entries.size() > m_maxLines || m_counted > m_maxCharacters)) {
    cut += m_entries.front().Shown;
    m_counted -= m_entries.front().Counted;
    m_shown -= m_entries.front().Shown;
    m_entries.pop_front();
  }
  if (cut > 0) ReplaceRange(m_edit, 0, cut, L"");
}

}  // namespace tessarine::ui::win32
