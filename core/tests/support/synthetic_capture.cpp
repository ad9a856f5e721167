// The synthetic capture platform (see synthetic_capture.h).
