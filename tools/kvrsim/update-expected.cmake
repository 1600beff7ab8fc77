# Writes NAME.expected.jsonl beside every scenario from kvrsim --json.
#   cmake -DKVRSIM=exe -DSCENARIO_DIR=dir -P update-expected.cmake
file(GLOB scenarios ${SCENARIO_DIR}/*.kvs)
foreach(scenario ${scenarios})
  get_filename_component(name ${scenario} NAME_WE)
  execute_process(COMMAND ${KVRSIM} --json ${scenario}
                  OUTPUT_FILE ${SCENARIO_DIR}/${name}.expected.jsonl RESULT_VARIABLE rc)
  message(STATUS "${name}: exit ${rc}")
endforeach()
