#pragma once

#include <QTimer>
#include <QWidget>

// The animation of the processing panel: a sheet of paper flies from a folder into a
// wastebasket. Twenty-four frames, played over and over while active.
class DeleteAnimation : public QWidget
{
    Q_OBJECT

public:
    static constexpr int FrameCount = 24;

    explicit DeleteAnimation(QWidget* parent = nullptr);

    bool active() const { return m_timer.isActive(); }
    // Starts at frame 1; stopping leaves the first frame showing.
    void setActive(bool active);
    // The frame shown, 1 to FrameCount.
    int frame() const { return m_frame; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void nextFrame();

    QTimer m_timer;
    int m_frame = 1;
};
