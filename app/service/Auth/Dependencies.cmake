# Sign-in reports to the error-reporting client, and the URL handler listens to the desktop's
# get-URL events (custom URL scheme, single-instance hand-off).
target_link_libraries(vx_service PUBLIC vx_error_client vx_platform_desktop)
