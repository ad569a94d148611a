namespace korvane::app_placeholder {}
