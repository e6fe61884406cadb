// Finds a window by a path of window texts: a top-level title, then texts of
// windows below it, compared exactly and without backtracking.
#pragma once

#include <vector>

#include "threads/task.h"

namespace kt {

template <class T>
class TContainerItem : public base {
public:
    TContainerItem* next = nullptr;
    TContainerItem* prev = nullptr;
    T* value = nullptr;
};

// Doubly linked list that owns its items and their value cells.
template <class T>
class TStack : public base {
public:
    TStack() = default;
    TStack(const TStack&) = delete;
    TStack& operator=(const TStack&) = delete;
    ~TStack() override { clear(); }

    void push(const T& v) {
        auto* item = new TContainerItem<T>();
        item->value = new T(v);
        item->prev = last_;
        if (last_) last_->next = item; else first_ = item;
        last_ = item;
        ++count_;
    }
    void clear() {
        while (last_) {
            TContainerItem<T>* item = last_;
            delete item->value;
            last_ = item->prev;
            if (last_) last_->next = nullptr; else first_ = nullptr;
            --count_;
            delete item;
        }
    }
    uint32_t count() const { return count_; }
    const TContainerItem<T>* first() const { return first_; }

private:
    uint32_t count_ = 0;
    TContainerItem<T>* first_ = nullptr;
    TContainerItem<T>* last_ = nullptr;
};

// Compares a window text with a path element; exact by default.
class TStrCmpCmd : public task {
public:
    TStrCmpCmd() : task(0) {}
    void set(const std::wstring* text, const std::wstring* pattern) {
        text_ = text;
        pattern_ = pattern;
    }
    result run() override;
    bool equal() const { return equal_; }

protected:
    const std::wstring* text_ = nullptr;
    const std::wstring* pattern_ = nullptr;
    bool equal_ = false;
};

struct SrchWndState {
    HWND last = nullptr;
    TStrCmpCmd* cmp = nullptr;
    TStack<HWND> matches;
    const std::vector<std::wstring>* path = nullptr;
    size_t next = 0;
    // Non-zero: only top-level windows of this process may match.
    DWORD process_id = 0;
    int depth = 0;
    result failure;
};

// The window's text, read with WM_GETTEXTLENGTH and WM_GETTEXT.
std::wstring GetWndText(HWND w);

result SrchWnd(HWND& found, const std::vector<std::wstring>& path);
// found is the last window that matched any element (null: none).
// process_id 0 searches every top-level window.
result SrchWnd(HWND& found, const std::vector<std::wstring>& path, TStrCmpCmd& cmp, DWORD process_id = 0);
BOOL CALLBACK SrchWndProc(HWND w, LPARAM state);

}  // namespace kt
