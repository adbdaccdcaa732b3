#pragma once

class QComboBox;

// Gives every entry of box's drop-down list the same height in pixels, whatever the style's
// own item height.
void SetItemHeight(QComboBox* box, int height);
