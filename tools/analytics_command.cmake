# `velmora analytics`, and the application's events of `velmora calc` stored
# and uploaded by the measurement engine: the public interface, and the
# control interface for what the commands wait for and read back.
target_link_libraries(velmora PRIVATE measurement_core measurement_control velmora_shell platform_product_catalogue
                      platform_payment_queue platform_app_store_receipt)
