# `velmora analytics`, and the application's events of `velmora calc` stored
# and uploaded by the measurement engine.
target_link_libraries(velmora PRIVATE measurement_core velmora_shell platform_product_catalogue platform_payment_queue
                      platform_app_store_receipt)
