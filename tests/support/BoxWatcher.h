#pragma once
// Observes the message boxes that the code under test shows on this thread
// and answers them, through a WH_CBT hook: no test code in the product. The
// reading and pressing serve for the boxes of other processes too.

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

struct ObservedBox {
    HWND hWnd = nullptr;
    std::string caption;
    std::string text;
    HWND owner = nullptr;
    bool iconHand = false; // read by BoxWatcher only
    std::vector<int> buttons; // visible buttons, by command id
};

std::string WindowText(HWND hWnd);
ObservedBox ObserveBox(HWND hBox);
// Posts the button's click, so that it works from any thread or process.
void PressButton(HWND hWindow, int nId);

// One box as a failed check names it: its caption and its text, quoted.
std::string DescribeBox(const ObservedBox& box);

// Every box seen, one a line, for the message of a failed check.
template <class Box>
std::string DescribeBoxes(const std::vector<Box>& boxes)
{
    std::string text = std::to_string(boxes.size()) + " boxes seen";
    for (const ObservedBox& box : boxes)
        text += "\n    " + DescribeBox(box);
    return text;
}

// Passes when exactly nExpected boxes were seen; otherwise the message
// names every box seen, so that a stray one can be told apart.
template <class Box>
::testing::AssertionResult BoxCountIs(const std::vector<Box>& boxes, size_t nExpected)
{
    if (boxes.size() == nExpected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << nExpected << " expected, " << DescribeBoxes(boxes);
}

class BoxWatcher {
public:
    // The answer is the command id to press; 0 leaves the box open (answer
    // it later with PressButton).
    using Answer = std::function<int(const ObservedBox&)>;

    explicit BoxWatcher(Answer answer = [](const ObservedBox&) { return IDOK; });
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;

    const std::vector<ObservedBox>& Boxes() const { return m_boxes; }

private:
    static LRESULT CALLBACK CbtProc(int nCode, WPARAM wParam, LPARAM lParam);
    void OnActivate(HWND hWnd);

    Answer m_answer;
    HHOOK m_hHook;
    std::vector<ObservedBox> m_boxes;
    std::vector<HWND> m_seen;
};
