# Which folders a library may use, enforced by the build. Every library compiles against a view
# of the source tree that holds only its own folder and the folders it declares (links to the
# sources under build/views/<library>/), never the tree itself, so an include of any other folder
# is not found. The arrows between the folders are declared once, where each library is made:
#
#   core ← platform ← web ← hosts/reader, app
#   core ← platform ← protocol ← hosts/reader, app
#   extension/bridge ← extension/service (+ protocol) ← extension/commands (+ web, hosts/reader)
#
# A folder's view also shows the folders its declared folders' headers include, so each
# declaration lists the whole of what the folder may see. Tests, benchmarks and fuzz targets see
# the whole tree (qy_source_tree).

# qy_use_folders(<target> <own folder> [<used folder>...]): compile <target> against a view that
# holds only the named folders ("core", "platform", "hosts/reader", ...).
function(qy_use_folders target)
  set(view ${PROJECT_BINARY_DIR}/views/${target})
  # A view is made afresh at each configure: its links are removed first (never followed, so
  # nothing in the sources is touched), then what remains of it, plain folders.
  if(EXISTS ${view})
    file(GLOB_RECURSE entries LIST_DIRECTORIES true ${view}/*)
    foreach(entry IN LISTS entries)
      if(IS_SYMLINK ${entry})
        file(REMOVE ${entry})
      endif()
    endforeach()
    file(REMOVE_RECURSE ${view})
  endif()
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${view}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${view}/${folder} SYMBOLIC)
  endforeach()
  target_include_directories(${target} PRIVATE ${view})
endfunction()

# The whole source tree, for the tests, benchmarks and fuzz targets.
add_library(qy_source_tree INTERFACE)
target_include_directories(qy_source_tree INTERFACE ${PROJECT_SOURCE_DIR})
