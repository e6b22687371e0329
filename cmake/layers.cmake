# tbl2tblx_add_layers(SUFFIX [LINK libraries...] [OPTIONS compile options...]) defines the
# layer libraries tbl2tblx_<layer>SUFFIX: the build's own with an empty SUFFIX, and variants
# (the test build's plain tool) with another. LINK and OPTIONS go to every layer of the set.

# The layers from the bottom up, and the layers each one links: PUBLIC those its headers
# include, PRIVATE those only its sources do.
set(TBL2TBLX_LAYERS formats base64 io markup convert cli)
set(TBL2TBLX_LAYER_formats_LINKS)
set(TBL2TBLX_LAYER_base64_LINKS)
set(TBL2TBLX_LAYER_io_LINKS)
set(TBL2TBLX_LAYER_markup_LINKS PUBLIC io PRIVATE formats)
set(TBL2TBLX_LAYER_convert_LINKS PUBLIC io PRIVATE formats base64 markup)
set(TBL2TBLX_LAYER_cli_LINKS PRIVATE formats base64 io convert)

# The folder that shows one layer's headers alone: <view>/<layer> is a link to src/<layer>.
function(tbl2tblx_layer_view layer out)
  set(view ${PROJECT_BINARY_DIR}/layers/${layer})
  file(MAKE_DIRECTORY ${view})
  # Made again at every configuration, so that a build folder never points at another tree.
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${layer} ${view}/${layer} SYMBOLIC)
  set(${out} ${view} PARENT_SCOPE)
endfunction()

function(tbl2tblx_add_layers suffix)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "LINK;OPTIONS")
  foreach(layer ${TBL2TBLX_LAYERS})
    set(target tbl2tblx_${layer}${suffix})
    tbl2tblx_layer_view(${layer} view)
    file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${layer}/*.cpp)
    list(FILTER sources EXCLUDE REGEX "src/cli/main\\.cpp$")
    set(links)
    foreach(word ${TBL2TBLX_LAYER_${layer}_LINKS})
      if(word STREQUAL "PUBLIC" OR word STREQUAL "PRIVATE")
        list(APPEND links ${word})
      else()
        list(APPEND links tbl2tblx_${word}${suffix})
      endif()
    endforeach()
    if(sources)
      add_library(${target} STATIC ${sources})
      target_include_directories(${target} PUBLIC ${view})
      target_link_libraries(${target} PUBLIC ${ARG_LINK} ${links})
      target_compile_options(${target} PRIVATE ${ARG_OPTIONS})
    else()  # headers alone
      add_library(${target} INTERFACE)
      target_include_directories(${target} INTERFACE ${view})
      target_link_libraries(${target} INTERFACE ${ARG_LINK})
    endif()
  endforeach()
endfunction()
