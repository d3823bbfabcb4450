#include "RecordingCenter.h"

RecordingCenter& recordingCenter() {
    static RecordingCenter center;
    return center;
}

NotifyCenter& darwinNotifyCenter() {
    return recordingCenter();
}
