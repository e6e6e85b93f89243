# The table model beside SQLite windows and Qt's QSqlTableModel (Qt's SQL
# module with its SQLite driver, Debian's libqt6sql6-sqlite).
find_package(Qt6 REQUIRED COMPONENTS Sql)
add_executable(table_model_bench ${CMAKE_CURRENT_LIST_DIR}/TableModelBench.cpp)
target_link_libraries(table_model_bench PRIVATE ledra_components_qt ostrevo_bench_harness
                                                Qt6::Sql)
